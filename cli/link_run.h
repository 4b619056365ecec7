// The boot, program and erase runs of quill-cli as the job files and the programming station use
// them: the command line's settings checked into a job, and the boards of a run, which a station
// hands over one by one as they are plugged in.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/json_output.h"
#include "link/comm_thread.h"

namespace quill::cli {

enum class LinkOp { Boot, Program, Erase };

const char* OperationName(LinkOp op);

// A job file a run comes from; every record of the run names it.
struct JobOrigin {
  std::string path;
  std::string sha256;  // of the job file's bytes as they were read
};

// --value and its source: each board's own value, written at address.
struct ValueSetting {
  uint32_t address = 0;
  std::string format;               // as given: u32le, dec:8, mac, ...
  std::optional<uint64_t> from;     // a counter: its start and step
  uint64_t step = 1;
  std::string list;                 // or a list: its file, and its lines as read
  std::vector<std::string> values;
  std::string name;                 // --value-name; empty: the default (ValueName)
  uint32_t size = 0;                // the bytes the format takes
};

// What a boot, program or erase works on, from its command line, checked.
struct LinkJob {
  LinkOp op = LinkOp::Program;
  Job state;                       // device, mode, clock, rate, window, blocks; files checked
  std::vector<ProgramFile> files;  // as the command line named them
  bool erase = true;               // program: erase the blocks first
  bool blocksGiven = false;        // --blocks was given (else the blocks the files touch)
  std::optional<ValueSetting> value;  // --value
};

// --value, --value-from, --value-list and --value-name into job (boot and program). The list
// file is read now: 66 when it cannot be; 0 else. Throws UsageError.
int ParseValueOptions(const Options& options, LinkJob& job);
// After the file check: the value's bytes inside the window and in blocks the operation
// programs (a boot programs every block: the value's are added). 0, or 65 with the reason on
// standard error.
int CheckValuePlacement(LinkJob& job);
// The counter's or list's name: --value-name, else the job file's name, else ADDRESS:FORMAT.
std::string ValueName(const LinkJob& job, const JobOrigin* origin);
// Where the boards of the run take their values from: the record store of --records, else the
// local store of values. Null without --value. Throws UsageError in a build without stores.
std::shared_ptr<BoardValueSource> MakeValueSource(const LinkJob& job, const Options& options,
                                                  const std::string& name);

// The options boot, program and erase accept.
std::vector<OptionSpec> LinkOptionSpecs(LinkOp op);

// Everything of a run but its ports: the device, mode, clock and rate options, the window, the
// files and the blocks, then (when log is given and --log is set) the log, then the file check.
// 0 when the run may go on, else the exit status; throws UsageError.
int PrepareLinkJob(LinkOp op, const Options& options, JsonLog* log, LinkJob& job);

// The ports of a run, resolved from the --port selectors, each with its adapter's serial number.
struct PortPlan {
  std::vector<std::string> paths;
  std::vector<std::string> serials;
};
// options.ports resolved: each selector's path (a network address as given), in order. Throws
// UsageError for none, a selector that matches no port or several, or a port given twice.
PortPlan PreparePorts(const Options& options);

// boot, program or erase with the options given: --save-job writes the job and sends nothing;
// otherwise the run on every port. origin: the job file the options come from, or null.
int RunLinkCommand(LinkOp op, const Options& options, const JobOrigin* origin);

// How a board's progress is shown: a bar redrawn in place on a terminal, a plain line at each
// phase change and every 10 % elsewhere (and with several boards), or nothing.
enum class ProgressStyle { Off, Bar, Lines };

// Where a text goes.
enum class Stream { Out, Err };

// Writes text to the stream at once, every line of it after prefix, in one piece, so the lines of
// boards running at once never mix.
void WriteLines(Stream stream, const std::string& prefix, const std::string& text);

struct Board;
class RecordOutlet;

// One run of an operation on boards started at once or one after another: starts each board,
// follows each board's progress, prints each outcome as the result page shows it (and its JSON
// record), and on Finish a summary when several boards ran.
class BoardRun {
 public:
  struct Settings {
    bool several = false;      // each board's lines start with its port
    bool json = false;         // records on standard output, texts for people on standard error
    bool trace = false;        // every byte on the line to standard error
    bool successTexts = true;  // the result page's success text for each board that succeeded
    bool texts = true;         // off: no text at all, only the records (the Python module)
    bool erase = true;         // program: erase the blocks first
    ProgressStyle style = ProgressStyle::Off;
    // Called before any text is written, so a display drawn in place can step aside.
    std::function<void()> beforeText;
    RecordOutlet* records = nullptr;  // the record store of --records, or none
    std::shared_ptr<BoardValueSource> value;  // each board's own value, or none
  };
  // What a station's table shows of a board.
  struct Status {
    std::string port;
    std::string state;  // the status text of the phase, empty when the phase has none
    int percent = 0;
  };

  // notifier wakes the caller's loop: it is told each board's steps and outcome once the board
  // has kept them.
  BoardRun(LinkOp op, Settings settings, JsonLog& log, ProgressNotifier& notifier);
  ~BoardRun();
  BoardRun(const BoardRun&) = delete;
  BoardRun& operator=(const BoardRun&) = delete;

  // The settings of a command line's run: --json, --trace, --quiet and whether stderr is a
  // terminal.
  static Settings SettingsFor(const Options& options, bool several);

  void Start(const Job& job, const std::string& port, const std::string& serial,
             const BoardRecord& shared);
  // Looks at every running board; false once none runs any more.
  bool Follow();
  void AbortAll();
  // The status of the first failed board in the order started; 73 when only the log failed.
  int Finish();

  // The running boards, in the order started.
  std::vector<Status> Running() const;
  // The records of the boards that finished since the last call, in the order they finished;
  // the boards themselves are let go.
  std::vector<BoardRecord> TakeFinished();
  bool LogFailed() const { return logFailed_; }

 private:
  void Done(Board& board, const Outcome& outcome, int status);
  void Refused(Board& board);
  void Ended(Board& board, const Outcome& outcome);
  void Write(Stream stream, const std::string& prefix, const std::string& text);

  LinkOp op_;
  Settings settings_;
  JsonLog& log_;
  ProgressNotifier& notifier_;
  Stream texts_;  // where the texts for people go
  std::vector<std::unique_ptr<Board>> boards_;
  std::vector<Board*> finished_;  // in the order they finished, not yet taken
  bool logFailed_ = false;
};

// What every board's record of a run shares: the operation, the device, the files and their
// SHA-256, the kernel a boot sends, and the job file the run comes from.
BoardRecord SharedRecord(LinkOp op, const Job& job, const JobOrigin* origin);

}  // namespace quill::cli
