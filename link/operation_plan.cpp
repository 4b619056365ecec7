#include "link/operation_plan.h"

#include "kernels/kernel_store.h"
#include "kernels/sha256.h"
#include "link/serial_port.h"
#include "progfile/user_exception.h"

namespace quill {

uint32_t OperationPlan::Rate() const {
  return static_cast<uint32_t>(command == CmdBoot ? job.m_nComBootRate : job.m_nComUserRate);
}

std::optional<Result> ChooseKernel(OperationPlan& plan) {
  const ClockRange* clock = plan.job.m_pClockRange;
  if (clock == nullptr) return Result{ErrorInternal, InternalError::KernelLoad};
  KernelImage kernel = FindKernel(clock->kernelId);
  // A network port is never a simulated board's, whatever a file of that name may be.
  const bool standInAllowed = kernel.origin == KernelOrigin::StandIn && plan.portValid &&
                              !plan.port.IsNetwork() && IsPseudoTerminal(plan.port.Path());
  if (kernel.origin != KernelOrigin::Installed && !standInAllowed) {
    const int32_t kind = kernel.origin == KernelOrigin::Unusable ? ErrorKernelUnusable : ErrorNoKernel;
    return Result{kind, clock->kernelId};
  }
  plan.kernelIdentity = {clock->kernelId, Sha256Hex(kernel.bytes),
                         standInAllowed ? "built-in stand-in" : kernel.path.string()};
  plan.kernel = std::move(kernel.bytes);
  plan.standInKernel = standInAllowed;
  return std::nullopt;
}

bool OpenPlanFiles(OperationPlan& plan, std::string* error) {
  try {
    plan.files->Open(plan.job.ProgramFileSet());
  } catch (const CFileException& e) {
    if (error) *error = e.Message();
    return false;
  }
  return true;
}

}  // namespace quill
