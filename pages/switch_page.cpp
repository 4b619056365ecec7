#include "pages/switch_page.h"

#include <QFrame>
#include <QLabel>
#include <QVBoxLayout>

#include "app/qt_text.h"
#include "resources/strings.h"

namespace quill {

namespace {


const char kDownloadFooter[] =
    "Click \"Next\" to start the download process. To abort, click \"Back\" or \"Exit\".\n"
    "If you abort, be sure to turn off VPP via the VPP switch.";

}  // namespace

CStartSwitchesPage::CStartSwitchesPage(int templateId, const QString& heading,
                                       uint32_t instructionsId, const QString& footer)
    : CWizardPage(templateId, QStringLiteral("QUILL")) {
  m_strInstructions = Text(instructionsId);
  QVBoxLayout* layout = MakePageLayout(heading);
  m_staticInstructions = MakeText(QString(), this);
  m_staticInstructions->setObjectName(QStringLiteral("label1061"));
  // The text arrives with the first exchange, after the layout has sized the label.
  m_staticInstructions->setMinimumHeight(m_staticInstructions->fontMetrics().lineSpacing() * 8);
  layout->addWidget(m_staticInstructions);
  layout->addSpacing(6);
  auto* warning = MakeText(QStringLiteral("Warning: Do not turn power off to your target TAVEO "
                                          "MCU while the VPP LED is on, or damage to the MCU "
                                          "could occur."),
                           this);
  warning->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  warning->setMargin(4);
  layout->addWidget(warning);
  layout->addStretch(1);
  layout->addWidget(MakeText(footer, this));
}

bool CStartSwitchesPage::DoDataExchange(bool bSave) {
  if (!bSave) m_staticInstructions->setText(m_strInstructions);
  return true;
}

CBootStartSwitchesPage::CBootStartSwitchesPage()
    : CStartSwitchesPage(kTemplateId, QStringLiteral("Boot Mode Set Switch"), StrId::InstructionsBoot,
                         QString::fromLatin1(kDownloadFooter)) {}

CUserStartSwitchesPage::CUserStartSwitchesPage()
    : CStartSwitchesPage(kTemplateId, QStringLiteral("User Mode Set Switch"), StrId::InstructionsUser,
                         QString::fromLatin1(kDownloadFooter)) {}

CEraseStartSwitchesPage::CEraseStartSwitchesPage()
    : CStartSwitchesPage(kTemplateId, QStringLiteral("User Mode Set Switch"), StrId::InstructionsUser,
                         QStringLiteral("Click \"Next\" to start erasing. To abort, click \"Back\" "
                                        "or \"Exit\". \nIf you abort, be sure to turn off VPP via "
                                        "the VPP switch.")) {}

}  // namespace quill
