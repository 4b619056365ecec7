// Each board's steps are queued by its worker (the communication object's notifier) and handed
// to Python on the thread that called run: that thread waits with the GIL released, in short
// slices, and between slices takes the GIL to call the progress callback and to let Python's
// signal handlers run, so Ctrl-C aborts the boards instead of waiting for them.
#include "python/board_lanes.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "cli/progress_report.h"
#include "link/results.h"
#include "resources/strings.h"

namespace py = pybind11;

namespace quill::python {
namespace {

// How long the caller's thread waits for a step before it looks for a signal.
constexpr std::chrono::milliseconds kSignalSlice{50};

// One step of one board, as the callback gets it.
struct StepValue {
  std::string port;
  std::string phase;  // the phase's name
  std::string text;   // the status text the wizard and quill-cli show for it; empty for none
  int32_t position = 0, range = 1;
  int percent = 0;
};

const char* PhaseName(int32_t phase) {
  switch (phase) {
    case PhaseStarted: return "started";
    case PhaseSync: return "sync";
    case PhaseBootErase: return "boot_erase";
    case PhaseKernelLoad: return "kernel_load";
    case PhaseRamEmulation: return "ram_emulation";
    case PhaseBlockErase: return "block_erase";
    case PhaseProgram: return "program";
    default: return "idle";
  }
}

struct Step {
  std::size_t lane;
  Progress progress;
};

// The steps of every board of the run, in the order their workers told them.
struct StepQueue {
  std::mutex mutex;
  std::condition_variable told;
  std::deque<Step> steps;

  std::deque<Step> Take(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex);
    told.wait_for(lock, wait, [this] { return !steps.empty(); });
    std::deque<Step> taken;
    taken.swap(steps);
    return taken;
  }
};

// A board's notifier: every step into the queue, marked with the board; never blocks for long.
class LaneNotifier : public ProgressNotifier {
 public:
  LaneNotifier(StepQueue& queue, std::size_t lane) : queue_(queue), lane_(lane) {}
  void Notify(const Progress& progress) override {
    {
      std::lock_guard<std::mutex> lock(queue_.mutex);
      queue_.steps.push_back({lane_, progress});
    }
    queue_.told.notify_one();
  }
  void Finished(const Outcome&) override { queue_.told.notify_one(); }

 private:
  StepQueue& queue_;
  std::size_t lane_;
};

// One port: its own notifier and quill-cli's board run, which reports it as a single board.
struct Lane {
  Lane(StepQueue& queue, std::size_t index, const LaneSetup& setup, cli::JsonLog& log)
      : notifier(queue, index), run(setup.op, SettingsOf(setup), log, notifier) {}
  static cli::BoardRun::Settings SettingsOf(const LaneSetup& setup) {
    cli::BoardRun::Settings settings;
    settings.texts = false;
    settings.successTexts = false;
    settings.erase = setup.job->erase;
    settings.records = setup.records.get();
    settings.value = setup.value;
    return settings;
  }
  LaneNotifier notifier;
  cli::BoardRun run;
  bool running = true;
};

StepValue ValueOf(const Step& step, const std::string& port, cli::LinkOp op) {
  StepValue value;
  value.port = port;
  value.phase = PhaseName(step.progress.phase);
  const uint32_t id = StatusTextId(cli::CommandOf(op), step.progress.phase);
  if (id != 0) value.text = LoadString(id);
  value.position = step.progress.position;
  value.range = step.progress.range;
  if (value.range > 0) {
    value.percent = static_cast<int>(
        std::clamp<int64_t>(int64_t{value.position} * 100 / value.range, 0, 100));
  }
  return value;
}

RunResult ResultOf(const cli::BoardRecord& record) {
  RunResult result;
  result.port = record.port;
  result.exitStatus = record.exitStatus;
  result.ok = record.exitStatus == cli::kExitSuccess;
  result.result = cli::ResultName(record);
  result.bytesInside = record.bytesInside;
  result.bytesOutside = record.bytesOutside;
  result.kernelId = record.kernelId;
  if (!record.kernelSha256.empty()) result.kernelSha256 = record.kernelSha256;
  if (!record.value.empty()) result.value = record.value;
  result.seconds = record.seconds;
  result.message = record.message;
  return result;
}

}  // namespace

std::vector<RunResult> RunLanes(LaneSetup& setup, const py::object& progress) {
  StepQueue queue;
  cli::JsonLog log;  // never opened: the records come back as values
  std::vector<std::unique_ptr<Lane>> lanes;
  const std::vector<std::string>& ports = setup.ports.paths;
  std::optional<py::error_already_set> raised;  // the callback's exception, or a signal's
  {
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < ports.size(); ++i) {
      lanes.push_back(std::make_unique<Lane>(queue, i, setup, log));
      lanes.back()->run.Start(setup.job->state, ports[i], setup.ports.serials[i], setup.shared);
    }
  }
  bool running = true;
  while (running) {
    std::deque<Step> steps;
    {
      py::gil_scoped_release release;
      steps = queue.Take(kSignalSlice);
      running = false;
      for (auto& lane : lanes) {
        if (lane->running) lane->running = lane->run.Follow();
        running = running || lane->running;
      }
      // Every board has let go of its notifier: what is queued now is the last of it.
      if (!running) {
        std::deque<Step> rest = queue.Take(std::chrono::milliseconds(0));
        steps.insert(steps.end(), rest.begin(), rest.end());
      }
    }
    if (!raised && !progress.is_none()) {
      for (const Step& step : steps) {
        if (step.progress.phase == PhaseIdle) continue;  // the end, not a step
        try {
          progress(ValueOf(step, ports[step.lane], setup.op));
        } catch (py::error_already_set& e) {
          raised.emplace(std::move(e));
          break;
        }
      }
    }
    if (!raised && PyErr_CheckSignals() != 0) raised.emplace();
    if (raised && running) {
      py::gil_scoped_release release;
      for (auto& lane : lanes) lane->run.AbortAll();
    }
  }
  std::vector<RunResult> results(ports.size());
  for (std::size_t i = 0; i < lanes.size(); ++i) {
    for (const cli::BoardRecord& record : lanes[i]->run.TakeFinished()) {
      results[i] = ResultOf(record);
      results[i].record = py::module_::import("json").attr("loads")(cli::ToJson(record).dump());
    }
  }
  {
    py::gil_scoped_release release;
    lanes.clear();  // every board's worker ended
  }
  if (setup.records) {
    std::optional<std::string> notice;
    {
      py::gil_scoped_release release;
      notice = setup.records->Finish();
    }
    if (notice && !raised && PyErr_WarnEx(PyExc_RuntimeWarning, notice->c_str(), 1) != 0) {
      throw py::error_already_set();
    }
  }
  if (raised) throw std::move(*raised);
  return results;
}

void BindRunTypes(py::module_& m) {
  py::class_<StepValue>(m, "Progress", "One step of a board's operation.")
      .def_readonly("port", &StepValue::port)
      .def_readonly("phase", &StepValue::phase)
      .def_readonly("text", &StepValue::text)
      .def_readonly("position", &StepValue::position)
      .def_readonly("range", &StepValue::range)
      .def_readonly("percent", &StepValue::percent)
      .def("__repr__", [](const StepValue& p) {
        return "quill.Progress(" + p.phase + ", " + std::to_string(p.position) + "/" +
               std::to_string(p.range) + ", " + std::to_string(p.percent) + "%)";
      });
  py::class_<RunResult>(m, "Result", "How a board's run ended, and its record.")
      .def_readonly("port", &RunResult::port)
      .def_readonly("ok", &RunResult::ok)
      .def_readonly("result", &RunResult::result)
      .def_readonly("exit_status", &RunResult::exitStatus)
      .def_readonly("bytes_inside", &RunResult::bytesInside)
      .def_readonly("bytes_outside", &RunResult::bytesOutside)
      .def_readonly("kernel_id", &RunResult::kernelId)
      .def_readonly("kernel_sha256", &RunResult::kernelSha256)
      .def_readonly("value", &RunResult::value)
      .def_readonly("seconds", &RunResult::seconds)
      .def_readonly("message", &RunResult::message)
      .def_readonly("record", &RunResult::record)
      .def("__bool__", [](const RunResult& r) { return r.ok; })
      .def("__repr__", [](const RunResult& r) {
        return "quill.Result(" + r.port + ": " + r.result + ", exit_status " +
               std::to_string(r.exitStatus) + ")";
      });
}

}  // namespace quill::python
