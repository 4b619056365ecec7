// The boards of one run from Python: quill-cli's board run, one per port so that each board's
// progress is told apart, followed on the caller's thread with the GIL released while it waits.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/link_run.h"
#include "cli/record_outlet.h"

namespace quill::python {

// What a board's run ended with: the record quill-cli writes, and its main fields.
struct RunResult {
  std::string port;
  bool ok = false;
  std::string result;  // the record's result: "success", or the failure's name
  int exitStatus = 0;
  uint32_t bytesInside = 0, bytesOutside = 0;
  std::optional<uint32_t> kernelId;
  std::optional<std::string> kernelSha256, value;
  double seconds = 0;
  std::string message;
  pybind11::object record;  // the JSON record as a dict
};

struct LaneSetup {
  cli::LinkOp op = cli::LinkOp::Program;
  const cli::LinkJob* job = nullptr;
  cli::PortPlan ports;
  cli::BoardRecord shared;
  std::unique_ptr<cli::RecordOutlet> records;
  std::shared_ptr<BoardValueSource> value;
};

// Starts the job on every port, calls progress (when not None) with each step of each board on
// this thread, and returns the results in the order of the ports. An exception of progress, or
// a signal's (KeyboardInterrupt), aborts every board; it is raised once all of them are idle.
std::vector<RunResult> RunLanes(LaneSetup& setup, const pybind11::object& progress);

// quill.Progress and quill.Result.
void BindRunTypes(pybind11::module_& m);

}  // namespace quill::python
