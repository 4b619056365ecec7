// The wizard sheet: the one window of the program. It holds the shared wizard state and the
// communication object, shows one page at a time above the button row ("&About...", "< &Back",
// "&Next >", "&Exit"), swaps the page sets of the three operations (built by the page factory it
// is given), loads the settings when it is built and saves them when it is destroyed. Its pages
// see it only as their WizardContext.
#pragma once

#include <QDialog>
#include <QPointer>
#include <vector>

#include "app/progress_notify.h"
#include "app/settings_store.h"
#include "app/wizard_context.h"
#include "app/wizard_page.h"
#include "app/wizard_state.h"
#include "app/wizard_value.h"
#include "link/comm_thread.h"

class QFrame;
class QHBoxLayout;
class QPushButton;
class QStackedWidget;

namespace quill {

class CFlashSheet : public QDialog, public WizardContext {
  Q_OBJECT

 public:
  // Builds the communication object (which starts its worker), then loads the settings from
  // store into the shared wizard state. pages builds the pages of the page sets; without it the
  // sets are empty.
  explicit CFlashSheet(SettingsStore store = SettingsStore(), PageFactory pages = nullptr,
                       QWidget* parent = nullptr);
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
  CWizardPage* GetActivePage() const override { return GetPage(m_nActive); }

  // Asking for the active page changes nothing.
  bool SetActivePage(int index) override;
  bool ShowResultPage() override { return SetActivePage(GetPageCount() - 1); }
  void SetWizardButtons(unsigned flags) override;
  void PressButton(int button) override;

  void SetOperationPages(int nOperation) override;
  void SetUserOperationPages(int nUserOperation) override;

  WizardState& State() override { return m_state; }
  const WizardState& State() const override { return m_state; }

  bool StartBoot(CWizardPage* page) override;
  bool StartProgram(CWizardPage* page, bool eraseFirst) override;
  bool StartErase(CWizardPage* page) override;
  bool Abort() override { return m_commThread.Abort(); }
  ProgressSeen Seen() const override { return m_progressNotifier.Seen(); }
  bool OperationRunning() const override { return m_bStarted && !m_progressNotifier.Seen().Ended(); }
  const CCommThread& Comm() const override { return m_commThread; }

  bool LoadSettings();
  bool SaveSettings();

  // The exit lock of the progress pages: while the title-bar Close is disabled, Close, Alt+F4
  // and Escape do nothing; SetExitLock also disables "&Exit".
  void EnableClose(bool bEnable) { m_bCloseEnabled = bEnable; }
  bool IsCloseEnabled() const { return m_bCloseEnabled; }
  void SetExitLock(bool bLocked) override;
  void ForgetPage(CWizardPage* page) override { m_progressNotifier.ClearTarget(page); }
  // For tests only: the observer of the sheet's operations, to tell it steps of its own.
  ProgressNotifier& ProgressNotifierForTesting() { return m_progressNotifier; }

  // Shows the About box modally.
  void OnAbout();

  QPushButton* AboutButton() const { return m_btnAbout; }
  QPushButton* BackButton() const { return m_btnBack; }
  QPushButton* NextButton() const { return m_btnNext; }
  QPushButton* ExitButton() const { return m_btnExit; }

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void reject() override;

 private:
  // The row of "&About...", "< &Back", "&Next >" and "&Exit".
  QHBoxLayout* MakeButtonRow();
  void OnBack();
  void OnNext();
  // Moves by a Next or Back result (0, -1 or a template id) in the direction step (+1 / -1).
  void MoveBy(int result, int step);
  bool ChangePage(int index, int step);
  void FocusFirstControl(CWizardPage* page);
  void ReplacePagesFrom(int first, const std::vector<int>& templateIds);
  // The progress notifier aimed at page, for the communication object's Start calls.
  CProgressNotifier* ProgressNotifierFor(CWizardPage* page);
  // Before a start: false while an operation runs (the start is refused); else the board's value
  // source (none when the value group is off), the record's start and a notifier that has
  // forgotten the last operation. After it, a refused start's record.
  bool BeforeStart(ThreadCommand command);
  bool AfterStart(bool started);
  // The record of the operation started last, once its outcome has been told.
  void EndRecord();

  friend class CWizardPage;  // a page that is destroyed clears the notifier's aim at it
  WizardState m_state;
  CProgressNotifier m_progressNotifier;  // declared before m_commThread, so it outlives the worker
  CCommThread m_commThread;
  WizardRecords m_records;  // the board record of each operation
  SettingsStore m_settings;
  PageFactory m_pageFactory;
  QPushButton* m_btnAbout = nullptr;
  QPushButton* m_btnExit = nullptr;
  QStackedWidget* m_stack = nullptr;
  QFrame* m_divider = nullptr;
  QPushButton* m_btnBack = nullptr;
  QPushButton* m_btnNext = nullptr;
  std::vector<QPointer<CWizardPage>> m_pages;
  int m_nActive = -1;
  bool m_bCloseEnabled = true;
  bool m_bStarted = false;  // the last start was taken by the worker
  bool m_bSwitching = false;
  int m_nPendingPage = -1;
};

}  // namespace quill
