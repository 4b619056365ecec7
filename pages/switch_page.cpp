#include "pages/switch_page.h"

#include <QFrame>
#include <QLabel>
#include <QVBoxLayout>

#include "app/qt_text.h"
#include "app/wizard_context.h"
#include "resources/strings.h"

namespace quill {

namespace {


const char kDownloadFooter[] =
    "Click \"Next\" to start the download process. To abort, click \"Back\" or \"Exit\".\n"
    "If you abort, be sure to turn off VPP via the VPP switch.";

std::string Line(ControlLine line, bool asserted) {
  std::string name = LineName(line);
  for (char& c : name) c = static_cast<char>(c - 'a' + 'A');
  return name + (asserted ? " asserted" : " released");
}

}  // namespace

std::string CStartSwitchesPage::AutomaticInstructions(const LineMap& map, bool boot) {
  // The Mode line's level that selects the wanted start: asserted for Boot unless inverted.
  const bool modeAsserted = boot != map.modeInverted;
  return "Automatic Mode: QUILL sets the adapter board's switches itself through the serial "
         "port's control lines; do not touch the switches.\n\nWhen you click \"Next\", QUILL will "
         "switch VPP off (" + Line(map.vpp, false) + "), set the Mode switch to " +
         (boot ? "Boot" : "User") + " (" + Line(map.mode, modeAsserted) +
         "), then switch VPP on (" + Line(map.vpp, true) + ") and start.\n\nWhen the operation "
         "ends, whether it succeeds, fails or is aborted, QUILL switches VPP off (" +
         Line(map.vpp, false) + ") and releases the Mode line (" + Line(map.mode, false) + ").";
}

CStartSwitchesPage::CStartSwitchesPage(int templateId, const QString& heading,
                                       uint32_t instructionsId, const QString& footer, bool boot)
    : CWizardPage(templateId, QStringLiteral("QUILL")), m_strFooter(footer), m_bBoot(boot) {
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
  m_staticFooter = MakeText(footer, this);
  layout->addWidget(m_staticFooter);
}

bool CStartSwitchesPage::DoDataExchange(bool bSave) {
  if (bSave) return true;
  const WizardState& state = State();
  LineMap map;
  // The configuration page let no bad map through; one stored by hand shows as manual.
  if (state.m_bAutomatic && ParseLineMap(state.m_strLineMap, &map, nullptr)) {
    m_staticInstructions->setText(QString::fromStdString(AutomaticInstructions(map, m_bBoot)));
    QString footer = m_strFooter;
    footer.truncate(footer.indexOf('\n'));
    m_staticFooter->setText(footer + QStringLiteral("\nIf you abort, QUILL switches VPP off."));
  } else {
    m_staticInstructions->setText(m_strInstructions);
    m_staticFooter->setText(m_strFooter);
  }
  return true;
}

CBootStartSwitchesPage::CBootStartSwitchesPage()
    : CStartSwitchesPage(kTemplateId, QStringLiteral("Boot Mode Set Switch"), StrId::InstructionsBoot,
                         QString::fromLatin1(kDownloadFooter), true) {}

CUserStartSwitchesPage::CUserStartSwitchesPage()
    : CStartSwitchesPage(kTemplateId, QStringLiteral("User Mode Set Switch"), StrId::InstructionsUser,
                         QString::fromLatin1(kDownloadFooter), false) {}

CEraseStartSwitchesPage::CEraseStartSwitchesPage()
    : CStartSwitchesPage(kTemplateId, QStringLiteral("User Mode Set Switch"), StrId::InstructionsUser,
                         QStringLiteral("Click \"Next\" to start erasing. To abort, click \"Back\" "
                                        "or \"Exit\". \nIf you abort, be sure to turn off VPP via "
                                        "the VPP switch."), false) {}

}  // namespace quill
