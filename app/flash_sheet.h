// The wizard sheet: the one window of the program. It holds the shared wizard state and the
// communication object, shows one page at a time above the button row ("&About...", "< &Back",
// "&Next >", "&Exit"), swaps the page sets of the three operations, loads the settings when it
// is built and saves them when it is destroyed.
#pragma once

#include <QDialog>
#include <QPointer>
#include <vector>

#include "app/progress_notify.h"
#include "app/settings_store.h"
#include "app/wizard_page.h"
#include "app/wizard_state.h"
#include "link/comm_thread.h"

class QFrame;
class QPushButton;
class QStackedWidget;

namespace quill {

// The wizard buttons a page enables (SetWizardButtons).
constexpr unsigned PSWIZB_BACK = 1;
constexpr unsigned PSWIZB_NEXT = 2;
// The buttons PressButton presses.
enum SheetButton { PSBTN_BACK = 0, PSBTN_NEXT = 1, PSBTN_CANCEL = 5 };

class CFlashSheet : public QDialog, public WizardState {
  Q_OBJECT

 public:
  // Builds the communication object (which starts its worker), then loads the settings from
  // store into the shared wizard state.
  explicit CFlashSheet(SettingsStore store = SettingsStore(), QWidget* parent = nullptr);
  // Removes and destroys every page after page 0, saves the settings, then stops the worker.
  ~CFlashSheet() override;

  // Page 0 stays its creator's (it must outlive the sheet's use of it); every later page is
  // owned by the sheet from here on and destroyed when it is removed.
  void AddPage(CWizardPage* page);
  // Removes page index (never the active page) and destroys it unless it is page 0.
  bool RemovePage(int index);
  int GetPageCount() const { return static_cast<int>(m_pages.size()); }
  CWizardPage* GetPage(int index) const;
  int GetPageIndex(const CWizardPage* page) const;
  // The index of the first page with this dialog template id, or -1.
  int FindPageByTemplate(int templateId) const;
  int GetActiveIndex() const { return m_nActive; }
  CWizardPage* GetActivePage() const { return GetPage(m_nActive); }

  // Leaves the active page (its OnKillActive may refuse) and activates page index. Asked while
  // a page is being activated (from its OnInitDialog or OnSetActive), the change is made as soon
  // as that activation has finished. Asking for the active page changes nothing.
  bool SetActivePage(int index);
  // Enables Back and Next by the PSWIZB_ flags.
  void SetWizardButtons(unsigned flags);
  // Presses a button as the user would; Back and Next are pressed even while disabled.
  void PressButton(int button);

  // Replaces every page after page 0 by the set of nOperation (0 Configuration, 1 Boot
  // programming, 2 User programming; any other value: no pages).
  void SetOperationPages(int nOperation);
  // Replaces every page after page 1 by the set of nUserOperation (0 and 1 programming,
  // 2 erasing; a negative or other value: no pages).
  void SetUserOperationPages(int nUserOperation);

  bool LoadSettings();
  bool SaveSettings();

  // The exit lock of the progress pages: while the title-bar Close is disabled, Close, Alt+F4
  // and Escape do nothing; SetExitLock also disables "&Exit".
  void EnableClose(bool bEnable) { m_bCloseEnabled = bEnable; }
  bool IsCloseEnabled() const { return m_bCloseEnabled; }
  void SetExitLock(bool bLocked);

  // The progress notifier aimed at page: pass it to m_commThread's Start calls; the page
  // receives OnProgressNotify for every step.
  CProgressNotifier* ProgressNotifierFor(CWizardPage* page);

  // Shows the About box modally.
  void OnAbout();

  QPushButton* BackButton() const { return m_btnBack; }
  QPushButton* NextButton() const { return m_btnNext; }

  CProgressNotifier m_progressNotifier;  // declared before m_commThread, so it outlives the worker
  CCommThread m_commThread;
  QPushButton* m_btnAbout = nullptr;
  QPushButton* m_btnExit = nullptr;

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void reject() override;

 private:
  void OnBack();
  void OnNext();
  // Moves by a Next or Back result (0, -1 or a template id) in the direction step (+1 / -1).
  void MoveBy(int result, int step);
  bool ChangePage(int index, int step);
  void FocusFirstControl(CWizardPage* page);
  void ReplacePagesFrom(int first, const std::vector<int>& templateIds);

  SettingsStore m_settings;
  QStackedWidget* m_stack = nullptr;
  QFrame* m_divider = nullptr;
  QPushButton* m_btnBack = nullptr;
  QPushButton* m_btnNext = nullptr;
  std::vector<QPointer<CWizardPage>> m_pages;
  int m_nActive = -1;
  bool m_bCloseEnabled = true;
  bool m_bSwitching = false;
  int m_nPendingPage = -1;
};

}  // namespace quill
