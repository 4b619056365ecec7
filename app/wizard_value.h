// The wizard's per-board value and board records: the file pages' value group checked into the
// job (with the checks quill-cli makes), the source the communication object's worker takes each
// board's value from, and the records of the wizard's operations, handed to the record store's
// sender thread. No Qt: the pages and the sheet call it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "app/wizard_state.h"
#include "link/comm_thread.h"

namespace quill {

namespace records {
class RecordSender;
}

// What is wrong with the value group's settings: the field to correct and the message.
struct ValueSettingProblem {
  enum Field { None, Format, From, Step, List, Store } field = None;
  std::string message;
  bool ok() const { return field == None; }
};

// The value group's settings in state (its address already read from its field): the format,
// the counter's start and step or the list file (read into m_astrValueList), and the record
// store's URL. On success the job's reserved range is the value's (none when the group is off),
// so the file check refuses data that writes over it.
ValueSettingProblem CheckValueSettings(WizardState& state);
// After the file check: the value's bytes inside the window, the flash and the blocks the
// operation programs (everyBlock: a boot, which programs them all, takes the value's blocks
// into its selection). Empty, or the message.
std::string CheckValuePlace(WizardState& state, bool everyBlock);

// The counter's or list's name: the settings' name, else ADDRESS:FORMAT as quill-cli names it.
std::string WizardValueName(const WizardState& state);
// The record store: the settings' store, else QUILL_RECORDS; empty for none.
std::string WizardRecordStore(const WizardState& state);
// The source each board's value is taken from on the worker's thread, from the record store or
// the local values store; null when the group is off.
std::shared_ptr<BoardValueSource> MakeWizardValueSource(const WizardState& state);

// The board records of the wizard's operations, sent to the record store (when one is named)
// through the spool on the sender's own thread: nothing here waits on the store.
class WizardRecords {
 public:
  WizardRecords();
  ~WizardRecords();
  WizardRecords(const WizardRecords&) = delete;
  WizardRecords& operator=(const WizardRecords&) = delete;

  // An operation starts on state's job (a copy is kept for its record).
  void Started(const WizardState& state, ThreadCommand command);
  // It ended (refused: the start was refused, and outcome says why) and its record is sent.
  void Ended(const Outcome& outcome, bool refused);

 private:
  WizardState m_job;
  ThreadCommand m_command = CmdNone;
  bool m_bRunning = false;
  std::chrono::steady_clock::time_point m_begin;
  std::string m_url;
  std::unique_ptr<records::RecordSender> m_sender;
};

}  // namespace quill
