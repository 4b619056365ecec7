// The progress pages: each runs one operation of the communication object while it is shown,
// follows its progress notifications with a status line and a bar, offers Abort, keeps every
// other way out of the wizard shut while it is shown, and moves on to the result page when the
// operation has ended, whatever its outcome.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/page_ids.h"
#include "app/wizard_page.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace quill {

class CProgressPage : public CWizardPage {
  Q_OBJECT

 public:
  // The exit lock: Back, Next, "&Exit" and Close are shut from activation to deactivation.
  bool OnSetActive() override;
  bool OnKillActive() override;
  void OnProgressNotify() override;
  // One progress step: a new phase shows its status text (the idle phase moves on to the result
  // page), and the bar follows the position.
  void UpdateProgress(int nPhase, int nPos, int nRange);
  void OnAbort();

  QLabel* m_staticStatus = nullptr;       // 1020
  QLabel* m_staticHint = nullptr;         // the closing hint: who switches VPP off
  QProgressBar* m_progressBar = nullptr;  // 1011
  QPushButton* m_btnAbort = nullptr;      // 1021

  int32_t m_nLastPhase = 8;
  int32_t m_nLastRange = 0;
  int32_t m_nScale = 1;  // the divisor of a scaled bar

 protected:
  // How the bar is fed: scaled into its 16-bit range, or with the range cut to 16 bits and the
  // position set before the range.
  enum class Bar { Scaled, Unscaled };
  // command: the communication object's command whose status texts the page shows.
  CProgressPage(int templateId, const QString& abortText, int statusLines, ThreadCommand command,
                Bar bar);

  // Hands the operation to the communication object: true when the worker has it (otherwise
  // the communication object's outcome says why).
  virtual bool StartOperation() = 0;
  // What the page does once its operation has ended: show the result page.
  virtual void OnOperationEnded();

  // Starts the operation; a refused start leads to the result page at once.
  void Start();
  // The idle phase was seen: moves on to the result page, once per start.
  void Finish();
  // The status text of a string id (0: the line keeps its text).
  void SetStatus(uint32_t stringId);
  // The bar as the platform's progress bar behaves: a position outside the range is shown at
  // the nearer end, and a new range keeps the position where it fits.
  void SetBarRange(int range);
  void SetBarPos(int pos);
  // The bar for a position within a range too large for it: a new range picks a new divisor.
  void SetScaledBar(int32_t nPos, int32_t nRange);
  void MoveToResultPage();

 private:
  enum class RunState { Idle, Starting, Running, Refused, Finished };
  const ThreadCommand m_command;
  const Bar m_bar;
  RunState m_state = RunState::Idle;
};

// Boot-mode programming: started when the page is first shown after its page set was built.
class CBootProgressPage : public CProgressPage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::BootProgress;
  CBootProgressPage();
  bool OnInitDialog() override;

 protected:
  bool StartOperation() override;
};

// User-mode programming, with or without pre-erase: started on every activation, once the page
// is on screen.
class CUserProgressPage : public CProgressPage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::UserProgress;
  CUserProgressPage();
  bool OnSetActive() override;
  void OnStartProgram();

 protected:
  bool StartOperation() override;
};

// User-mode erase of the selected blocks: started when the page is first shown; the bar is fed
// unscaled.
class CEraseProgressPage : public CProgressPage {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = PageId::EraseProgress;
  CEraseProgressPage();
  bool OnInitDialog() override;

 protected:
  bool StartOperation() override;
  void OnOperationEnded() override;
};

// The divisor that brings a range into the bar's 16-bit range, and the bar's maximum for it.
int32_t ProgressScale(int32_t range);
int ProgressBarMaximum(int32_t range, int32_t scale);

}  // namespace quill
