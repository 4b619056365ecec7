#include "pages/choice_list.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

namespace quill {

QRadioButton* CChoiceList::Add(QVBoxLayout* layout, QWidget* parent, const QString& text,
                               const QString& objectName, QLabel* description) {
  auto* radio = new QRadioButton(text, parent);
  radio->setObjectName(objectName);
  layout->addSpacing(6);
  layout->addWidget(radio);
  auto* indented = new QHBoxLayout;
  indented->setContentsMargins(22, 0, 0, 0);
  indented->addWidget(description);
  layout->addLayout(indented);
  m_buttons.push_back(radio);
  return radio;
}

QRadioButton* CChoiceList::Radio(int value) const {
  if (value < 0 || value >= static_cast<int>(m_buttons.size())) return nullptr;
  return m_buttons[static_cast<std::size_t>(value)];
}

int CChoiceList::Checked() const {
  for (std::size_t i = 0; i < m_buttons.size(); ++i)
    if (m_buttons[i]->isChecked()) return static_cast<int>(i);
  return -1;
}

void CChoiceList::UncheckAll() const {
  // An exclusive group never lets its last checked button go, so exclusivity is lifted meanwhile.
  for (QRadioButton* radio : m_buttons) {
    radio->setAutoExclusive(false);
    radio->setChecked(false);
    radio->setAutoExclusive(true);
  }
}

void CChoiceList::OnClick(QWidget* context, std::function<void(int)> store) const {
  for (std::size_t i = 0; i < m_buttons.size(); ++i) {
    QObject::connect(m_buttons[i], &QRadioButton::clicked, context,
                     [store, value = static_cast<int>(i)] { store(value); });
  }
}

}  // namespace quill
