// The radio buttons of one stored choice, each with its description indented beneath it; the
// button added first stands for the value 0, the next for 1, and so on.
#pragma once

#include <functional>
#include <vector>

class QLabel;
class QRadioButton;
class QString;
class QVBoxLayout;
class QWidget;

namespace quill {

class CChoiceList {
 public:
  // Adds the button of the next value, named objectName, and its description to layout.
  QRadioButton* Add(QVBoxLayout* layout, QWidget* parent, const QString& text,
                    const QString& objectName, QLabel* description);
  // The button of a value, or nullptr outside the values added.
  QRadioButton* Radio(int value) const;
  // The value of the checked button, or -1 when none is checked.
  int Checked() const;
  void UncheckAll() const;
  // Every click on a button hands its value to store.
  void OnClick(QWidget* context, std::function<void(int)> store) const;

 private:
  std::vector<QRadioButton*> m_buttons;
};

}  // namespace quill
