// The shared wizard state: the values every page works on. The sheet holds exactly one; the pages
// read and write it. Its job part is what an operation copies when it starts (progfile/job.h);
// the rest is the wizard's own. Plain data without Qt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "progfile/job.h"

namespace quill {

// Values of m_nOperation.
enum Operation : int32_t { OperationConfigure = 0, OperationBoot = 1, OperationUser = 2 };
// Values of m_nUserOperation.
enum UserOperation : int32_t {
  UserOperationProgramErase = 0,  // program with block pre-erase
  UserOperationProgram = 1,       // program without pre-erase
  UserOperationErase = 2,
};

struct WizardState : Job {
  int32_t m_nOperation = OperationConfigure;
  int32_t m_nUserOperation = UserOperationProgramErase;
  std::string m_strBrowsePath;

  // The file pages' per-board value (a serial number): on or off, where it goes and its format,
  // and its source: a counter (start and step, as typed) or, when m_strValueList names one, a
  // list file. The counter or list is kept in the record store, else in the local values store.
  int32_t m_nValueOn = 0;
  uint32_t m_dwValueAddress = 0;
  std::string m_strValueFormat = "u32le";
  std::string m_strValueFrom = "1";
  std::string m_strValueStep = "1";
  std::string m_strValueList;
  // No page shows these: the counter's or list's name (empty: ADDRESS:FORMAT, as quill-cli names
  // it), the record store (empty: QUILL_RECORDS, else none) and the station's name (empty: the
  // host name).
  std::string m_strValueName;
  std::string m_strRecordStore;
  std::string m_strStation;
  // The list file's values as the file page read them. Never saved.
  std::vector<std::string> m_astrValueList;
  // Set by a progress page whose operation never started, to what its result page shows in
  // place of the communication object's outcome (which is an earlier run's); empty once an
  // operation has started. Never saved.
  std::optional<std::string> m_strNotStarted;

  // Every stored member back to its default, the selection emptied, the references cleared.
  void ResetToDefaults();
};

}  // namespace quill
