#include "pages/page_factory.h"

#include "app/page_ids.h"
#include "pages/blocks_page.h"
#include "pages/configure_page.h"
#include "pages/done_page.h"
#include "pages/file_page.h"
#include "pages/progress_page.h"
#include "pages/switch_page.h"
#include "pages/user_operation_page.h"

namespace quill {

CWizardPage* CreatePage(int templateId) {
  switch (templateId) {
    case PageId::Configure:
      return new CConfigurePage;
    case PageId::BootFile:
      return new CBootFilePage;
    case PageId::BootStartSwitches:
      return new CBootStartSwitchesPage;
    case PageId::BootProgress:
      return new CBootProgressPage;
    case PageId::BootDone:
      return new CBootDonePage;
    case PageId::UserOperation:
      return new CUserOperationPage;
    case PageId::UserFile:
      return new CUserFilePage;
    case PageId::UserBlocks:
      return new CUserBlocksPage;
    case PageId::UserStartSwitches:
      return new CUserStartSwitchesPage;
    case PageId::UserProgress:
      return new CUserProgressPage;
    case PageId::UserDone:
      return new CUserDonePage;
    case PageId::EraseBlocks:
      return new CEraseBlocksPage;
    case PageId::EraseStartSwitches:
      return new CEraseStartSwitchesPage;
    case PageId::EraseProgress:
      return new CEraseProgressPage;
    case PageId::EraseDone:
      return new CEraseDonePage;
    default:
      return nullptr;
  }
}

}  // namespace quill
