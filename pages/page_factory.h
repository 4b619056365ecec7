// Builds the wizard page of a dialog template id: the page factory the application object hands
// the sheet for its page sets.
#pragma once

namespace quill {

class CWizardPage;

// A new page for templateId, or nullptr when this build has no such page.
CWizardPage* CreatePage(int templateId);

}  // namespace quill
