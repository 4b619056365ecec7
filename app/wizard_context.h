// What a page may ask of the wizard it is shown in: the shared wizard state, the operations of
// the communication object, the wizard buttons, moving between pages, swapping the page sets and
// the exit lock. Pages do not index one another: what one page leaves for another travels in the
// state. The sheet is its one implementation; a page never sees the sheet's members.
#pragma once

#include <functional>
#include <string>

#include "app/wizard_state.h"
#include "link/comm_thread.h"

namespace quill {

class CWizardPage;

// The wizard buttons a page enables (SetWizardButtons).
constexpr unsigned PSWIZB_BACK = 1;
constexpr unsigned PSWIZB_NEXT = 2;
// The buttons PressButton presses.
enum SheetButton { PSBTN_BACK = 0, PSBTN_NEXT = 1, PSBTN_CANCEL = 5 };

// Builds the page of a dialog template id for the page sets (nullptr: no such page).
using PageFactory = std::function<CWizardPage*(int templateId)>;

class WizardContext {
 public:
  virtual WizardState& State() = 0;
  virtual const WizardState& State() const = 0;

  // The operations of the communication object on the state's job, as CCommThread's Start
  // calls (a refused start leaves its reason in Comm().GetOutcome()); every progress step is
  // announced to page (its OnProgressNotify), and Seen() then holds it. A start while an
  // operation runs is refused.
  virtual bool StartBoot(CWizardPage* page) = 0;
  virtual bool StartProgram(CWizardPage* page, bool eraseFirst) = 0;
  virtual bool StartErase(CWizardPage* page) = 0;
  virtual bool Abort() = 0;
  // The latest progress step of the operation started last and its outcome once it has ended,
  // as the worker told them.
  virtual ProgressSeen Seen() const = 0;
  // An operation was started and its outcome has not been told yet.
  virtual bool OperationRunning() const = 0;
  // The communication object's last outcome, also that of a refused start.
  virtual const CCommThread& Comm() const = 0;

  // Enables Back and Next by the PSWIZB_ flags.
  virtual void SetWizardButtons(unsigned flags) = 0;
  // Presses a button as the user would; Back and Next are pressed even while disabled.
  virtual void PressButton(int button) = 0;
  // Leaves the active page (its OnKillActive may refuse) and activates page index; asked while
  // a page is being activated, the change is made once that activation has finished.
  virtual bool SetActivePage(int index) = 0;
  // Activates the result page of the operation's page set (its last page), as SetActivePage.
  virtual bool ShowResultPage() = 0;
  virtual CWizardPage* GetActivePage() const = 0;

  // Replaces every page after page 0 by the set of nOperation (0 Configuration, 1 Boot
  // programming, 2 User programming; any other value: no pages).
  virtual void SetOperationPages(int nOperation) = 0;
  // Replaces every page after page 1 by the set of nUserOperation (0 and 1 programming,
  // 2 erasing; a negative or other value: no pages).
  virtual void SetUserOperationPages(int nUserOperation) = 0;

  // The exit lock of the progress pages: "&Exit", Close, Alt+F4 and Escape do nothing.
  virtual void SetExitLock(bool bLocked) = 0;

  // A page is being destroyed: no progress is announced to it any more.
  virtual void ForgetPage(CWizardPage* page) = 0;

 protected:
  ~WizardContext() = default;
};

}  // namespace quill
