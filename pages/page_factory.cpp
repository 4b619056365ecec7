#include "app/page_factory.h"

#include "app/page_ids.h"
#include "pages/configure_page.h"

namespace quill {

CWizardPage* CreatePage(int templateId) {
  switch (templateId) {
    case PageId::Configure:
      return new CConfigurePage;
    default:
      return nullptr;
  }
}

}  // namespace quill
