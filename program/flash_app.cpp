#include "program/flash_app.h"

#include <memory>

#include "app/flash_sheet.h"
#include "pages/operation_page.h"
#include "pages/page_factory.h"

namespace quill {

CFlashApp::CFlashApp(int& argc, char** argv) : QApplication(argc, argv) {
  setOrganizationName(QStringLiteral("Velmora"));
  setApplicationName(QStringLiteral("Quill"));
  setQuitOnLastWindowClosed(false);
}

bool CFlashApp::InitInstance() {
  // The sheet's constructor loads the settings; the operation page is page 0 for the whole run.
  auto sheet = std::make_unique<CFlashSheet>(SettingsStore(), CreatePage);
  auto operationPage = std::make_unique<COperationPage>(sheet.get());
  sheet->AddPage(operationPage.get());
  sheet->exec();
  // The operation page goes first; the sheet then destroys its other pages and saves.
  operationPage.reset();
  sheet.reset();
  return false;
}

}  // namespace quill
