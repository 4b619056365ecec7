// The plan of one operation, made on the caller's thread before the worker gets it: what to do,
// on a copy of the caller's job, with the kernel a boot will send chosen and read once, and the
// program files opened. The communication object's worker carries a plan out on its port.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/link_session.h"
#include "link/control_lines.h"
#include "link/port_address.h"
#include "link/results.h"
#include "progfile/file_set.h"
#include "progfile/job.h"

namespace quill {

// The kernel of a boot: its id, the SHA-256 of the image as it was read for this boot (the very
// bytes it sends), and where it came from (the store's file, or the built-in stand-in).
struct SentKernel {
  uint32_t id = 0;
  std::string sha256;
  std::string source;
};

// A board's own value (a serial number): taken by the worker once the port is open, before the
// board's first byte, and programmed after the files' data as one more piece of the image.
class BoardValueSource {
 public:
  virtual ~BoardValueSource() = default;
  // The flash address the value goes to.
  virtual uint32_t Address() const = 0;
  // This board's value (its text, for the record) and its bytes; false with the reason when none
  // can be taken: the board is refused, nothing is sent. Called on the worker's thread.
  virtual bool Take(std::string& text, std::vector<uint8_t>& bytes, std::string* why) = 0;
};

struct OperationPlan {
  ThreadCommand command = CmdNone;
  Job job;
  PortAddress port;         // the job's port, read once
  bool portValid = false;   // else portProblem says what is wrong with it
  std::string portProblem;
  // Automatic Mode: which control line drives which of the board's switches, and the settling
  // time after each change; none when a person sets them.
  std::optional<LineMap> lines;
  std::chrono::milliseconds lineDelay{0};
  bool eraseFirst = false;
  std::vector<uint8_t> kernel;  // a boot's image, taken before the port is opened
  SentKernel kernelIdentity;    // and what it is
  bool standInKernel = false;   // the built-in stand-in: only for a simulated board's port
  std::unique_ptr<CProgramFileSet> files = std::make_unique<CProgramFileSet>();
  std::shared_ptr<BoardValueSource> value;  // the board's own value, or none

  // The line rate of the operation: the boot rate for a boot, else the user rate.
  uint32_t Rate() const;
};

// Chooses the kernel for the job's clock range (kernels/kernel_store.h): an installed one goes to
// any port, the built-in stand-in only to a pseudo-terminal. Otherwise the refusal: ErrorNoKernel
// or ErrorKernelUnusable with the kernel id (ErrorInternal when the job has no clock range).
std::optional<Result> ChooseKernel(OperationPlan& plan);

// Opens the job's program files, every one before anything is read; false with a message that
// names the path and the system's reason.
bool OpenPlanFiles(OperationPlan& plan, std::string* error);

}  // namespace quill
