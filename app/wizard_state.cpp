#include "app/wizard_state.h"

namespace quill {

void WizardState::ResetToDefaults() { *this = WizardState(); }

}  // namespace quill
