// `import quill`: quill-cli's checks, jobs and board runs as a Python module, for test stations
// written in Python. Everything a command line would say is said with the same words: a Job is
// the command line of boot, program or erase (keywords turned into its options) parsed and
// checked by quill-cli's own code, and a run is quill-cli's board run with its texts switched
// off; the records, results and exit statuses are the ones quill-cli writes.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/job_file.h"
#include "cli/json_output.h"
#include "cli/link_run.h"
#include "cli/record_outlet.h"
#include "link/port_list.h"
#include "python/board_lanes.h"

namespace py = pybind11;

namespace quill::python {
namespace {

using cli::LinkOp;
using cli::Options;
using cli::UsageError;

py::object g_error, g_usageError, g_fileError;

// Raises the module's exception for an exit status of quill-cli: 64 UsageError, 65 and 66
// FileError, any other quill.Error; the status rides along as exit_status.
[[noreturn]] void Raise(int status, const std::string& text) {
  const py::object& type = status == cli::kExitUsage ? g_usageError
                           : status == cli::kExitInvalidFile || status == cli::kExitCannotOpen
                               ? g_fileError
                               : g_error;
  py::object error = type(text);
  error.attr("exit_status") = status;
  PyErr_SetObject(type.ptr(), error.ptr());
  throw py::error_already_set();
}

// What quill-cli's code writes to standard error while it runs, kept as the text of an
// exception or a warning instead; the program's name that leads its lines is left out.
class CapturedErrors {
 public:
  CapturedErrors() : old_(std::cerr.rdbuf(text_.rdbuf())) {}
  ~CapturedErrors() { std::cerr.rdbuf(old_); }
  CapturedErrors(const CapturedErrors&) = delete;
  CapturedErrors& operator=(const CapturedErrors&) = delete;

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(text_.str());
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("quill-cli: ", 0) == 0) line.erase(0, 11);
      lines.push_back(line);
    }
    return lines;
  }
  std::string Text() const {
    std::string text;
    for (const std::string& line : Lines()) text += (text.empty() ? "" : "\n") + line;
    return text;
  }

 private:
  std::ostringstream text_;
  std::streambuf* old_;
};

// Runs body (quill-cli code that returns an exit status or throws UsageError); a status other
// than 0 raises with what the code wrote, a 0 passes on what it warned of as Python warnings.
template <typename Body>
void Checked(Body body, const std::string& context = {}) {
  int status = 0;
  std::string text;
  {
    CapturedErrors errors;
    try {
      status = body();
    } catch (const UsageError& e) {
      status = cli::kExitUsage;
      text = context + e.what();
    }
    if (status != cli::kExitUsage) text = errors.Text();
  }
  if (status != 0) Raise(status, text);
  if (!text.empty() && PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) {
    throw py::error_already_set();
  }
}

py::object FromJson(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::null: return py::none();
    case nlohmann::json::value_t::boolean: return py::bool_(value.get<bool>());
    case nlohmann::json::value_t::number_integer: return py::int_(value.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned: return py::int_(value.get<uint64_t>());
    case nlohmann::json::value_t::number_float: return py::float_(value.get<double>());
    case nlohmann::json::value_t::string: return py::str(value.get<std::string>());
    case nlohmann::json::value_t::array: {
      py::list list;
      for (const nlohmann::json& item : value) list.append(FromJson(item));
      return list;
    }
    case nlohmann::json::value_t::object: {
      py::dict dict;
      for (const auto& [key, item] : value.items()) dict[py::str(key)] = FromJson(item);
      return dict;
    }
    default: return py::none();
  }
}

// An option's value as the command line would spell it: numbers in decimal (addresses as 0x
// hexadecimal), paths as the file system names them, anything else as its str().
std::string Word(const py::handle& value, bool address = false) {
  if (py::isinstance<py::bool_>(value)) return py::str(value);
  if (py::isinstance<py::int_>(value)) {
    const long long number = value.cast<long long>();
    if (!address || number < 0) return std::to_string(number);
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", number);
    return text;
  }
  if (py::hasattr(value, "__fspath__")) return py::str(value.attr("__fspath__")());
  return py::str(value);
}

// A file operand: a path that starts with '-' would be read as an option.
std::string FileWord(const py::handle& path) {
  const std::string word = Word(path);
  return word.size() > 1 && word[0] == '-' ? "./" + word : word;
}

// FILE operands, each after --binary ADDRESS where binary gives one: binary is one address for
// a single file, or a list with an address (or None) for each file.
void AddFiles(std::vector<std::string>& args, const py::object& files, const py::object& binary) {
  if (files.is_none()) return;
  std::vector<py::object> paths;
  if (py::isinstance<py::str>(files) || py::hasattr(files, "__fspath__")) {
    paths.push_back(files);
  } else {
    for (const py::handle& path : files) paths.push_back(py::reinterpret_borrow<py::object>(path));
  }
  std::vector<py::object> bases(paths.size(), py::none());
  if (!binary.is_none()) {
    if (py::isinstance<py::list>(binary) || py::isinstance<py::tuple>(binary)) {
      const py::sequence list = binary;
      if (list.size() != paths.size()) {
        throw UsageError("binary: one address (or None) for each of the " +
                         std::to_string(paths.size()) + " files");
      }
      for (std::size_t i = 0; i < paths.size(); ++i) bases[i] = list[i];
    } else if (paths.size() == 1) {
      bases[0] = binary;
    } else {
      throw UsageError("binary: a list with an address (or None) for each file, for several files");
    }
  }
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (!bases[i].is_none()) {
      args.push_back("--binary");
      args.push_back(Word(bases[i], true));
    }
    args.push_back(FileWord(paths[i]));
  }
}

void AddOption(std::vector<std::string>& args, const char* name, const py::object& value,
               bool address = false) {
  if (value.is_none()) return;
  args.push_back(name);
  args.push_back(Word(value, address));
}

std::string Blocks(const py::object& blocks) {
  if (py::isinstance<py::str>(blocks)) return py::str(blocks);
  std::string list;
  for (const py::handle& name : blocks) list += (list.empty() ? "" : ",") + Word(name);
  return list;
}

// A job: the command line of boot, program or erase, and the job file it came from.
struct PyJob {
  LinkOp op = LinkOp::Program;
  std::vector<std::string> args;  // the options as quill-cli would be given them (Job())
  Options options;
  std::optional<cli::JobFile> file;  // Job.load()

  std::string Context() const { return file ? "the job '" + file->origin.path + "': " : ""; }

  // The job checked as quill-cli checks it before a run: a loaded job's files against their
  // SHA-256, the settings, the program files. Raises.
  cli::LinkJob Prepare() const {
    cli::LinkJob job;
    if (file) Checked([&] { return cli::VerifyJobFiles(*file); });
    Checked([&] { return cli::PrepareLinkJob(op, options, nullptr, job); }, Context());
    return job;
  }
};

LinkOp OpOf(const std::string& command) {
  for (LinkOp op : {LinkOp::Boot, LinkOp::Program, LinkOp::Erase}) {
    if (command == cli::OperationName(op)) return op;
  }
  throw UsageError("unknown command '" + command + "'; accepted: boot, program, erase");
}

PyJob MakeJob(const std::string& command, const py::object& device, const py::object& mode,
              const py::object& clock, const py::object& rate, const py::object& files,
              const py::object& binary, const py::object& offset, const py::object& lowest,
              const py::object& highest, const py::object& blocks, bool erase,
              const py::object& automatic, const py::object& value) {
  PyJob job;
  Checked([&] {
    job.op = OpOf(command);
    std::vector<std::string>& a = job.args;
    AddOption(a, "--device", device);
    AddOption(a, "--mode", mode);
    AddOption(a, "--clock", clock);
    AddOption(a, "--baud", rate);
    AddOption(a, "--offset", offset, true);
    AddOption(a, "--lowest", lowest, true);
    AddOption(a, "--highest", highest, true);
    if (!blocks.is_none()) a.insert(a.end(), {"--blocks", Blocks(blocks)});
    if (!erase) a.push_back("--no-erase");
    if (!automatic.is_none() && !(py::isinstance<py::bool_>(automatic) && !automatic.cast<bool>())) {
      a.push_back("--automatic");
      if (py::isinstance<py::dict>(automatic)) {
        const py::dict lines = automatic;
        a.insert(a.end(), {"--lines", "vpp=" + Word(lines["vpp"]) + ",mode=" + Word(lines["mode"])});
        if (lines.contains("delay_ms")) AddOption(a, "--line-delay", lines["delay_ms"]);
      } else if (!py::isinstance<py::bool_>(automatic)) {
        a.insert(a.end(), {"--lines", Word(automatic)});
      }
    }
    if (!value.is_none()) {
      const py::dict v = value;
      a.insert(a.end(), {"--value", Word(v["address"], true) + ":" + Word(v["format"])});
      const py::object none = py::none();
      const py::object from = v.contains("from") ? v["from"] : none;
      if (!from.is_none()) {
        const py::object step = v.contains("step") ? v["step"] : none;
        a.insert(a.end(), {"--value-from", Word(from) + (step.is_none() ? "" : ":" + Word(step))});
      }
      if (v.contains("list")) AddOption(a, "--value-list", v["list"]);
      if (v.contains("name")) AddOption(a, "--value-name", v["name"]);
    }
    AddFiles(a, files, binary);
    job.options = cli::ParseOptions(command, a, cli::LinkOptionSpecs(job.op));
    return 0;
  });
  job.Prepare();
  return job;
}

PyJob LoadJob(const py::object& path) {
  PyJob job;
  job.file.emplace();
  Checked([&] { return cli::LoadJobFile(Word(path), *job.file); });
  job.op = job.file->op;
  job.options = job.file->options;
  job.Prepare();
  return job;
}

void SaveJob(const PyJob& job, const py::object& path) {
  const cli::LinkJob checked = job.Prepare();
  const std::string file = Word(path);
  std::string error;
  if (!cli::SaveJobFile(file, checked, &error)) {
    Raise(cli::kExitCannotWrite, "the job '" + file + "' cannot be written: " + error);
  }
}

py::object Check(const py::object& files, const py::object& device, const py::object& mode,
                 const py::object& offset, const py::object& lowest, const py::object& highest,
                 const py::object& binary) {
  std::optional<cli::FileCheck> check;
  std::vector<std::string> messages;
  Checked([&] {
    std::vector<std::string> args;
    AddOption(args, "--device", device);
    AddOption(args, "--mode", mode);
    AddOption(args, "--offset", offset, true);
    AddOption(args, "--lowest", lowest, true);
    AddOption(args, "--highest", highest, true);
    AddFiles(args, files, binary);
    const Options options = cli::ParseOptions("check", args, cli::CheckOptionSpecs());
    CapturedErrors errors;
    check = cli::RunFileCheck(options);
    messages = errors.Lines();
    return 0;
  });
  // A file that fails the check is the check's answer, as check --json gives it.
  py::dict document = FromJson(cli::CheckJson(*check));
  document["messages"] = messages;
  return document;
}

py::object Ports() {
  const PortListing listing = ListSerialPorts();
  for (const std::string& warning : listing.warnings) {
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) != 0) throw py::error_already_set();
  }
  return FromJson(cli::PortsJson(listing));
}

std::vector<RunResult> RunMany(const PyJob& job, const std::vector<std::string>& ports,
                               const py::object& progress, const py::object& records,
                               const py::object& station) {
  const cli::LinkJob checked = job.Prepare();
  Options options = job.options;
  options.ports = ports;
  if (!records.is_none()) options.values["--records"] = Word(records);
  if (!station.is_none()) options.values["--station"] = Word(station);
  LaneSetup setup;
  setup.op = job.op;
  setup.job = &checked;
  const cli::JobOrigin* origin = job.file ? &job.file->origin : nullptr;
  Checked([&] {
    setup.ports = cli::PreparePorts(options);
    setup.records = cli::RecordOutlet::FromOptions(options, false);
    setup.shared = cli::SharedRecord(job.op, checked.state, origin);
    setup.shared.valueName = cli::ValueName(checked, origin);
    setup.value = cli::MakeValueSource(checked, options, setup.shared.valueName);
    return 0;
  });
  return RunLanes(setup, progress);
}

}  // namespace
}  // namespace quill::python

PYBIND11_MODULE(quill, m) {
  using namespace quill::python;
  m.doc() = "QUILL: program TAVEO microcontrollers' flash from Python, as quill-cli does";
  m.attr("__version__") = QUILL_VERSION;

  g_error = py::reinterpret_borrow<py::object>(
      PyErr_NewExceptionWithDoc("quill.Error", "A run that cannot be made; exit_status is quill-cli's.",
                                PyExc_Exception, nullptr));
  g_usageError = py::reinterpret_steal<py::object>(
      PyErr_NewException("quill.UsageError", g_error.ptr(), nullptr));
  g_fileError = py::reinterpret_steal<py::object>(
      PyErr_NewException("quill.FileError", g_error.ptr(), nullptr));
  m.attr("Error") = g_error;
  m.attr("UsageError") = g_usageError;
  m.attr("FileError") = g_fileError;
  // The module's exception types live as long as the interpreter.
  g_error.inc_ref();
  g_usageError.inc_ref();
  g_fileError.inc_ref();

  BindRunTypes(m);

  m.def("devices", [] { return FromJson(quill::cli::DevicesJson()); },
        "The catalogue, as `quill-cli devices --json` prints it.");
  m.def("ports", &Ports, "The serial ports, as `quill-cli ports --json` prints them.");
  m.def("check", &Check, py::arg("files"), py::kw_only(), py::arg("device") = py::none(),
        py::arg("mode") = py::none(), py::arg("offset") = py::none(),
        py::arg("lowest") = py::none(), py::arg("highest") = py::none(),
        py::arg("binary") = py::none(),
        "The program-file check, as `quill-cli check --json` gives it, with its messages.");

  py::class_<PyJob>(m, "Job", "A boot, program or erase, checked as quill-cli checks it.")
      .def(py::init(&MakeJob), py::arg("command"), py::kw_only(), py::arg("device") = py::none(),
           py::arg("mode") = py::none(), py::arg("clock") = py::none(),
           py::arg("rate") = py::none(), py::arg("files") = py::none(),
           py::arg("binary") = py::none(), py::arg("offset") = py::none(),
           py::arg("lowest") = py::none(), py::arg("highest") = py::none(),
           py::arg("blocks") = py::none(), py::arg("erase") = true,
           py::arg("automatic") = py::none(), py::arg("value") = py::none())
      .def_static("load", &LoadJob, py::arg("path"),
                  "A job file of --save-job; its files must still have their SHA-256.")
      .def("save", &SaveJob, py::arg("path"), "Writes the job file --save-job writes.")
      .def_property_readonly("command", [](const PyJob& j) { return quill::cli::OperationName(j.op); })
      .def_property_readonly("args", [](const PyJob& j) { return j.args; },
                             "The options quill-cli would be given (for a Job made here).")
      .def_property_readonly("path", [](const PyJob& j) -> py::object {
        return j.file ? py::object(py::str(j.file->origin.path)) : py::object(py::none());
      })
      .def("__repr__", [](const PyJob& j) {
        return "quill.Job('" + std::string(quill::cli::OperationName(j.op)) + "'" +
               (j.file ? ", path='" + j.file->origin.path + "'" : std::string()) + ")";
      });

  m.def("run_many", &RunMany, py::arg("job"), py::arg("ports"), py::kw_only(),
        py::arg("progress") = py::none(), py::arg("records") = py::none(),
        py::arg("station") = py::none(),
        "Runs the job on every port at once; the results in the order of the ports.");
  m.def(
      "run",
      [](const PyJob& job, const std::string& port, const py::object& progress,
         const py::object& records, const py::object& station) {
        return RunMany(job, {port}, progress, records, station).front();
      },
      py::arg("job"), py::arg("port"), py::kw_only(), py::arg("progress") = py::none(),
      py::arg("records") = py::none(), py::arg("station") = py::none(),
      "Runs the job on one port; a failed operation is a result.");
}
