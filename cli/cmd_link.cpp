// quill-cli boot, program and erase: their options checked into a job (device, rates, window,
// blocks, files), the ports resolved from the --port selectors, then the run on every board
// (cli/board_run.cpp) with Ctrl-C abort, or the job saved for a station (--save-job).
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "cli/cli.h"
#include "cli/console.h"
#include "cli/json_output.h"
#include "cli/link_run.h"
#include "cli/job_file.h"
#include "cli/record_outlet.h"
#include "device/catalogue.h"
#include "link/comm_thread.h"
#include "kernels/kernel_store.h"
#include "link/control_lines.h"
#include "link/port_address.h"
#include "link/port_list.h"
#include "link/results.h"
#include "kernels/sha256.h"
#include "resources/fpcode.h"
#include "resources/format.h"
#include "resources/strings.h"

namespace quill::cli {
namespace {

// --baud: one of the listed rates, or the default when absent.
int32_t ParseRate(const Options& options, const std::vector<uint32_t>& rates, uint32_t fallback,
                  const std::string& what) {
  const std::string* text = options.Value("--baud");
  if (text == nullptr) return static_cast<int32_t>(fallback);
  std::string accepted;
  for (uint32_t rate : rates) accepted += (accepted.empty() ? "" : ", ") + std::to_string(rate);
  for (uint32_t rate : rates) {
    if (*text == std::to_string(rate)) return static_cast<int32_t>(rate);
  }
  throw UsageError("--baud '" + *text + "' is not " + what + "; accepted: " + accepted);
}

// --blocks: "all", or names of the mode's map separated by commas, matched exactly.
std::vector<std::string> ParseBlocks(const std::string& text, const Job& state) {
  const DeviceMode& mode = state.Mode();
  std::vector<std::string> names;
  std::string accepted = "all";
  for (int i = 0; i < mode.blockCount; ++i) accepted += std::string(", ") + mode.blocks[i].name;
  if (text == "all") {
    for (int i = 0; i < mode.blockCount; ++i) names.push_back(mode.blocks[i].name);
    return names;
  }
  std::stringstream stream(text);
  std::string name;
  while (std::getline(stream, name, ',')) {
    bool known = false;
    for (int i = 0; i < mode.blockCount; ++i) known = known || name == mode.blocks[i].name;
    if (!known) {
      throw UsageError("--blocks: '" + name + "' is not a block of " + state.m_strMCUType +
                       "; accepted: " + accepted);
    }
    if (FindBlockName(names, name) < 0) names.push_back(name);
  }
  if (names.empty()) throw UsageError("--blocks needs at least one block; accepted: " + accepted);
  return names;
}

std::string RealPath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path resolved = std::filesystem::canonical(path, ec);
  return ec ? path : resolved.string();
}

// --log: opened before anything is sent, so a station never programs a board it cannot record.
int OpenLog(const Options& options, JsonLog& log) {
  const std::string* path = options.Value("--log");
  if (path == nullptr) return 0;
  std::string error;
  if (log.Open(*path, &error)) return 0;
  std::cerr << "quill-cli: the log '" << *path << "' cannot be written: " << error << '\n';
  return kExitCannotWrite;
}

}  // namespace

PortPlan PreparePorts(const Options& options) {
  if (options.ports.empty()) {
    throw UsageError("--port is required: the serial device to open (a path, usb:VID:PID[:SERIAL], "
                     "serial:SERIAL or auto)");
  }
  PortListRoots roots;
  roots.judgeAccess = false;  // only the identities are needed; the open tells the rest
  const PortListing listing = ListSerialPorts(roots);
  PortPlan plan;
  std::set<std::string> seen;
  for (const std::string& selector : options.ports) {
    std::string error;
    PortAddress address;
    if (!ParsePortAddress(selector, &address, &error)) throw UsageError("--port " + error);
    if (address.IsNetwork()) {
      // Taken as given: the JSON records and the summary name it so.
      if (!seen.insert(selector).second) {
        throw UsageError("--port: " + selector + " is given more than once");
      }
      plan.paths.push_back(selector);
      plan.serials.emplace_back();
      continue;
    }
    const std::string path = SelectPort(selector, listing.ports, &error);
    if (path.empty()) throw UsageError(error);
    const std::string real = RealPath(path);
    // The same board twice would be refused as busy by the second opener at best.
    if (!seen.insert(real).second) throw UsageError("--port: " + path + " is given more than once");
    std::string serial;
    for (const SerialPortInfo& port : listing.ports) {
      if (port.usb && RealPath(port.path) == real) serial = port.serial;
    }
    plan.paths.push_back(path);
    plan.serials.push_back(serial);
  }
  return plan;
}

namespace {

// Runs the operation on every port at once and waits for all of them. Returns the exit status.
int RunOperation(LinkOp op, const LinkJob& job, const Options& options, const PortPlan& plan,
                 JsonLog& log, const BoardRecord& shared) {
  // One waiter for every board: each board's worker notifies it at every step, and Ctrl-C wakes it.
  OperationWaiter waiter;
  if (!waiter.Ok()) {
    std::cerr << "quill-cli: " << waiter.Error() << '\n';
    return ErrorInternal;
  }
  const std::unique_ptr<RecordOutlet> records = RecordOutlet::FromOptions(options, false);
  BoardRun::Settings settings = BoardRun::SettingsFor(options, plan.paths.size() > 1);
  settings.erase = job.erase;
  settings.records = records.get();
  settings.value = MakeValueSource(job, options, shared.valueName);
  BoardRun run(op, std::move(settings), log, waiter.Notifier());
  for (std::size_t i = 0; i < plan.paths.size(); ++i) {
    run.Start(job.state, plan.paths[i], plan.serials[i], shared);
  }
  bool aborted = false;
  while (run.Follow()) {
    if (waiter.Wait() && !aborted) {
      aborted = true;
      run.AbortAll();
    }
  }
  const int status = run.Finish();
  if (records) {
    if (std::optional<std::string> notice = records->Finish()) WriteStderr(*notice + "\n");
  }
  return status;
}

const std::vector<OptionSpec> kCommonSpecs = {
    {"--port", true},   {"--device", true},  {"--mode", true}, {"--baud", true},
    {"--quiet", false}, {"--trace", false}, {"--json", false}, {"--log", true},
    {"--save-job", true}, {"--records", true}, {"--station", true}, {"--automatic", false},
    {"--lines", true}, {"--line-delay", true}};

std::vector<OptionSpec> With(std::vector<OptionSpec> more) {
  more.insert(more.begin(), kCommonSpecs.begin(), kCommonSpecs.end());
  return more;
}

std::vector<uint32_t> UserRates() {
  std::vector<uint32_t> rates;
  for (int i = 0; i < GetUserDataRateCount(); ++i) rates.push_back(GetUserDataRate(i));
  return rates;
}

constexpr uint32_t kDefaultUserRate = 9600;

}  // namespace

std::vector<OptionSpec> LinkOptionSpecs(LinkOp op) {
  switch (op) {
    case LinkOp::Boot:
      return With({{"--clock", true}, {"--offset", true}, {"--lowest", true}, {"--highest", true},
                   kBinaryOption, {"--value", true}, {"--value-from", true}, {"--value-list", true},
                   {"--value-name", true}});
    case LinkOp::Program:
      return With({{"--no-erase", false}, {"--blocks", true}, {"--offset", true},
                   {"--lowest", true}, {"--highest", true}, kBinaryOption, {"--value", true},
                   {"--value-from", true}, {"--value-list", true}, {"--value-name", true}});
    case LinkOp::Erase: return With({{"--blocks", true}});
  }
  return {};
}

namespace {

// --automatic, --lines and --line-delay: the control lines that set the board's switches.
void ParseAutomaticOptions(const Options& options, Job& state) {
  const std::string* lines = options.Value("--lines");
  const std::string* delay = options.Value("--line-delay");
  state.m_bAutomatic = options.Has("--automatic");
  if (!state.m_bAutomatic) {
    if (lines || delay) {
      throw UsageError(std::string(lines ? "--lines" : "--line-delay") +
                       " needs --automatic: the control lines set the board's switches only in "
                       "Automatic Mode");
    }
    return;
  }
  if (lines) {
    LineMap map;
    std::string error;
    if (!ParseLineMap(*lines, &map, &error)) throw UsageError("--lines '" + *lines + "': " + error);
    state.m_strLineMap = FormatLineMap(map);
  }
  if (delay) {
    char* end = nullptr;
    const long ms = std::strtol(delay->c_str(), &end, 10);
    if (delay->empty() || *end != '\0' || ms < 10 || ms > 5000) {
      throw UsageError("--line-delay '" + *delay +
                       "' is no settling time; accepted: milliseconds from 10 to 5000");
    }
    state.m_nLineDelayMs = static_cast<int32_t>(ms);
  }
}

}  // namespace

int PrepareLinkJob(LinkOp op, const Options& options, JsonLog* log, LinkJob& job) {
  job.op = op;
  Job& state = job.state;
  ApplyDeviceOptions(options, state);
  ParseAutomaticOptions(options, state);
  if (op == LinkOp::Boot) {
    const std::string* clock = options.Value("--clock");
    if (clock == nullptr) {
      throw UsageError("--clock is required: the clock-range index 0 to " +
                       std::to_string(state.m_pDevice->GetClockRangeCount(state.ModeIndex()) - 1) +
                       ", or the target's clock frequency with its unit (16MHz)");
    }
    state.m_nClockSpeed = ParseClockOption(*clock, state);
    state.DeriveCatalogueRefs();
    const ClockRange& range = *state.m_pClockRange;
    const std::vector<uint32_t> rates(range.bootRates, range.bootRates + range.bootRateCount);
    state.m_nComBootRate = ParseRate(options, rates, rates.back(),
                                     "a boot rate of clock range " + LoadString(range.textId));
  } else {
    state.m_nComUserRate = ParseRate(options, UserRates(), kDefaultUserRate, "a user-mode rate");
  }
  std::vector<std::string> blocks;
  if (op == LinkOp::Erase) {
    if (!options.positional.empty()) {
      throw UsageError("unexpected argument '" + options.positional.front() +
                       "': erase takes no FILE");
    }
    const std::string* list = options.Value("--blocks");
    if (list == nullptr) throw UsageError("--blocks is required: the blocks to erase, or all");
    state.m_astrSelectedBlocks = ParseBlocks(*list, state);
    job.blocksGiven = true;
  } else {
    ApplyAddressOptions(options, state);
    job.files = ParseFileOperands(options);
    // The block names are checked before the files, so a usage error comes first.
    if (const std::string* list = options.Value("--blocks")) {
      blocks = ParseBlocks(*list, state);
      job.blocksGiven = true;
    }
    job.erase = !options.Has("--no-erase");
    if (const int status = ParseValueOptions(options, job)) return status;
  }
  if (log != nullptr) {
    if (const int status = OpenLog(options, *log)) return status;
  }
  if (op == LinkOp::Erase) return kExitSuccess;
  CheckSummary summary;
  if (const int status = CheckFiles(state, job.files, summary)) return status;
  // Without --blocks the blocks the file touches are programmed, as the blocks page preselects.
  if (job.blocksGiven) state.m_astrSelectedBlocks = blocks;
  return CheckValuePlacement(job);
}

int RunLinkCommand(LinkOp op, const Options& options, const JobOrigin* origin) {
  if (const std::string* jobFile = options.Value("--save-job")) {
    // The ports are neither opened nor kept: a job names what to do, the station where.
    LinkJob job;
    if (const int status = PrepareLinkJob(op, options, nullptr, job)) return status;
    std::string error;
    if (!SaveJobFile(*jobFile, job, &error)) {
      std::cerr << "quill-cli: the job '" << *jobFile << "' cannot be written: " << error << '\n';
      return kExitCannotWrite;
    }
    return kExitSuccess;
  }
  const PortPlan ports = PreparePorts(options);
  LinkJob job;
  JsonLog log;
  int status = kExitSuccess;
  try {
    status = PrepareLinkJob(op, options, &log, job);
  } catch (const UsageError& e) {
    // A setting the job file holds, not one the user typed.
    if (origin == nullptr) throw;
    throw UsageError("the job '" + origin->path + "': " + e.what());
  }
  if (status != kExitSuccess) return status;
  BoardRecord shared = SharedRecord(op, job.state, origin);
  shared.valueName = ValueName(job, origin);
  return RunOperation(op, job, options, ports, log, shared);
}

int RunBoot(const std::vector<std::string>& args) {
  return RunLinkCommand(LinkOp::Boot, ParseOptions("boot", args, LinkOptionSpecs(LinkOp::Boot)),
                        nullptr);
}

int RunProgram(const std::vector<std::string>& args) {
  return RunLinkCommand(LinkOp::Program,
                        ParseOptions("program", args, LinkOptionSpecs(LinkOp::Program)), nullptr);
}

int RunErase(const std::vector<std::string>& args) {
  return RunLinkCommand(LinkOp::Erase, ParseOptions("erase", args, LinkOptionSpecs(LinkOp::Erase)),
                        nullptr);
}

}  // namespace quill::cli
