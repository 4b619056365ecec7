// Shared pieces of quill-cli's commands: exit statuses, usage errors, option parsing, and the
// device, mode and address options every command that touches a device takes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options/options.h"
#include "progfile/job.h"
#include "progfile/program_image.h"

namespace quill::cli {

constexpr int kExitSuccess = 0;
constexpr int kExitUsage = 64;        // unknown command or option, bad value
constexpr int kExitInvalidFile = 65;  // messages 136, 137, the checksum message
constexpr int kExitCannotOpen = 66;   // the program file cannot be opened or read
constexpr int kExitUnavailable = 69;  // the record store (or a per-board value) is unavailable
constexpr int kExitCannotWrite = 73;  // the kernel store or the --log file cannot be written
constexpr int kExitNoKernel = 78;     // boot refused before anything was sent: no usable kernel

// Parses args (the words after the command) against specs; "--name VALUE", "--name=VALUE", the
// short forms "-p VALUE" and "-pVALUE" (-p -b -d -m -c -q -v) all work, "--" ends the options. An
// option given twice: the last one wins. --port, --device, --mode, --clock and --baud not given
// come from QUILL_PORT, QUILL_DEVICE, QUILL_MODE, QUILL_CLOCK and QUILL_BAUD where the command
// takes them. Throws UsageError for an unknown option, a missing value, or a value given to a flag.
Options ParseOptions(const std::string& command, const std::vector<std::string>& args,
                     const std::vector<OptionSpec>& specs);


// The option spec of --binary, for the commands that take program files.
constexpr OptionSpec kBinaryOption{"--binary", true, true};

// The program files of check, boot and program: FILE... in order, each optionally preceded by
// --binary ADDRESS (raw binary placed at ADDRESS; the others are recognised by their content).
// Throws UsageError when there is none, or --binary lacks its ADDRESS or FILE.
std::vector<ProgramFile> ParseFileOperands(const Options& options);

// --device (required) and --mode into state: m_strMCUType, m_nMCUMode and the catalogue
// references. Device and mode names match without regard to case. --mode is a mode's name
// ("Mode 2") or the number in it ("2"), accepted only for devices with more than one mode.
void ApplyDeviceOptions(const Options& options, Job& state);

// --offset, --lowest and --highest into state, parsed and checked as the file pages do: the
// lowest address within the mode's flash range, the highest from the lowest to the flash's end.
// Defaults: offset 0, the mode's whole flash range. Throws UsageError with message 132 or 165.
void ApplyAddressOptions(const Options& options, Job& state);

// A reporter for the program-file check that prints messages to standard error and answers
// every question with Yes after printing its first sentence as a warning.
class ConsoleReporter : public CheckReporter {
 public:
  void ShowMessage(uint32_t id, const std::string& text) override;
  bool AskYesNo(uint32_t id, const std::string& text) override;
  void ReportFileError(const std::string& text) override;
};

// --clock for the state's device and mode: a clock-range index 0..8, or the target's clock
// frequency with its unit (9.8304MHz, 16MHz, 12000kHz, 8000000Hz) mapped to the range whose
// label's bounds (">= A MHz, < B MHz") contain it. Throws UsageError naming what is accepted.
int ParseClockOption(const std::string& text, const Job& state);

// The exit status for a check that did not pass.
int ExitStatusForCheck(const CheckSummary& summary);

// Runs the program-file check on files as the file pages do, with state's device, mode and
// window; m_strFile becomes the first file. 0 when the run may go on, else the exit status.
int CheckFiles(Job& state, const std::vector<ProgramFile>& files, CheckSummary& summary);

// What `check` found: the state with its device, mode, window and the blocks touched, the files
// as named, the check's summary, and the exit status (0 when the files passed).
struct FileCheck {
  Job state;
  std::vector<ProgramFile> files;
  CheckSummary summary;
  int status = kExitSuccess;
};
std::vector<OptionSpec> CheckOptionSpecs();
// The check of the options' files; its messages go to standard error. Throws UsageError.
FileCheck RunFileCheck(const Options& options);

// Hexadecimal in the H' form of the texts, without leading zeros.
std::string HexValue(uint64_t value);

// The commands. Each returns the process's exit status.
int RunDevices(const std::vector<std::string>& args);
int RunCheck(const std::vector<std::string>& args);
int RunBoot(const std::vector<std::string>& args);     // cmd_link.cpp
int RunProgram(const std::vector<std::string>& args);
int RunErase(const std::vector<std::string>& args);
int RunKernels(const std::vector<std::string>& args);  // cmd_kernels.cpp
int RunPorts(const std::vector<std::string>& args);  // cmd_ports.cpp
int RunJob(const std::vector<std::string>& args);    // cmd_run.cpp
int RunRecords(const std::vector<std::string>& args);  // cmd_records.cpp

// The usage text printed by --help.
const char* UsageText();

}  // namespace quill::cli
