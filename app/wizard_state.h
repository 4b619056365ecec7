// The shared wizard state: the values every page works on. The sheet holds exactly one; the pages
// read and write it. Its job part is what an operation copies when it starts (progfile/job.h);
// the rest is the wizard's own. Plain data without Qt.
#pragma once

#include <cstdint>
#include <string>

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

  // Every stored member back to its default, the selection emptied, the references cleared.
  void ResetToDefaults();
};

}  // namespace quill
