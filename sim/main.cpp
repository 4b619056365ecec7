// quill-sim: a simulated TAVEO target board on a pseudo-terminal (or served over TCP as a port
// server serves one), for trying the wizard and quill-cli without hardware.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "options/options.h"
#include "device/catalogue.h"
#include "resources/strings.h"
#include "sim/sim_board.h"

namespace {

using quill::cli::OptionSpec;
using quill::cli::UsageError;
using quill::sim::BoardOptions;
using quill::sim::BoardState;
using quill::sim::SimBoard;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBoardErrors = 2;
constexpr int kExitUsage = 64;
constexpr int kGoOn = -1;  // not an exit status: the command line asks for a board

constexpr const char* kHelp = R"(Usage: quill-sim [OPTION]...
A simulated TAVEO target board. It opens a pseudo-terminal, prints the path of its port as the
first line on standard output, and answers on it as the boot ROM and the flash kernel do, until
SIGINT or SIGTERM. With --listen it serves the board over TCP instead, as a port server serves an
adapter, and prints the port's URL (rfc2217://HOST:PORT) as the first line.

  --device NAME        the device: TX-A10, TX-C30 or TX-C31 (default TX-A10)
  --mode M             the operating mode of TX-C31: "Mode 2" or "Mode 3", or 2 or 3
                       (default the device's first mode)
  --clock N            the clock-range index 0..8 (default 0); selects the kernel the boot ROM
                       expects and the boot rates it accepts
  --state boot|user    start in the boot ROM waiting for synchronisation (default), or with the
                       kernel already running, waiting for commands
  --baud BPS           the only rate to accept; default any rate the clock range permits in boot
                       mode and any of the eight user rates in user mode (after a download, the
                       rate the kernel was synchronised at)
  --pace               every byte takes its line time (10 bits) at the host's rate
  --adapter-latency MS as a USB serial adapter's chip: bytes to the host are held until MS have
                       passed since the first held byte, or 62 are held (an FTDI chip's latency
                       timer, 16 ms unless set lower)
  --fault SPEC         misbehave once: ACTION:STEP[:INDEX], may be given more than once
                         ACTION  silent (answer nothing, then hang), wrong[=BYTE] (send BYTE,
                                 default 0x5A, for echo the complement), fail (0xFF erase-all
                                 report, 0x07 erase result or checksum reply), delay=MS,
                                 hangup (close the line)
                         STEP    sync, echo, boot-erase, erase, erase-final, chunk-command,
                                 chunk-address, chunk-data, checksum
                         INDEX   which occurrence, from 0 (default 0); for echo the position in
                                 the download stream (0 the start byte, 1-2 the length, 3+ the
                                 image); chunk steps count chunks, erase steps erase commands
                       example: --fault wrong:echo:2
  --kernels DIR        expect the kernel DIR/<id>.bin (else the built-in stand-in); default the
                       kernel store the host uses (the user's, then the system's, then the
                       stand-in)
  --sync-reply BYTE    the byte answering synchronisation (default 0x00)
  --erase-report BYTE  the erase-all report after the download (default 0x00)
  --flash-in FILE      the flash contents at start, raw binary (default all erased, 0xFF)
  --flash-out FILE     write the flash to FILE on exit and on SIGUSR1
  --listen HOST:PORT   serve the board as an RFC 2217 server (Telnet Com Port Control Option)
                       on HOST:PORT instead of a pseudo-terminal, one host at a time; PORT 0
                       takes a free port; HOST a name, an IPv4 address or an IPv6 address in
                       brackets. The data rate the host sets is the board's line rate; a host
                       that disconnects has closed the port, and the next one may connect
  --lines MAP          with --listen: obey DTR and RTS as an adapter board's switches, MAP
                       vpp=LINE,mode=LINE with LINE dtr or rts (e.g. vpp=dtr,mode=rts;
                       mode=!rts inverts the Mode line, VPP cannot be inverted). Silent while
                       VPP is off; when VPP goes on, in the boot ROM if Mode is Boot (the Mode
                       line asserted), with the kernel running if Mode is User; silent again
                       when VPP goes off (a reset: the flash stays), also when the host
                       disconnects. Without it the lines change nothing. Excludes --state
  --name NAME          announce the port as NAME in the ports folder (default sim-<pid>-<n>):
                       a link to the pseudo-terminal in $XDG_RUNTIME_DIR/quill/ports (or
                       /tmp/quill-<uid>/quill/ports), printed as the second line on standard
                       output, which the wizard's port list offers
  --no-announce        do not announce the port
  --exit-after-boot    end once a kernel download has completed and the board is idle
  --exit-when-idle S   end once the host has sent something and the line has then been quiet,
                       with the board between commands, for S seconds
  --verbose            every byte and step, and every DTR and RTS change, on standard error
  --help               this text

Protocol and line-setting violations the board sees go to standard error as they happen.
Exit status: 0, or 2 when the board saw violations, 1 when the port could not be set up,
64 for a usage error.
)";

int Usage(const std::string& message) {
  std::fprintf(stderr, "quill-sim: %s\nTry 'quill-sim --help'.\n", message.c_str());
  return kExitUsage;
}

bool ParseLong(const std::string& text, long lo, long hi, long* value) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < lo || v > hi) return false;
  *value = v;
  return true;
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// What the command line asks for.
struct SimArgs {
  BoardOptions options;
  std::string deviceName = "TX-A10";
  std::string modeText;
  std::string flashIn, flashOut;
  bool verbose = false;
  bool exitAfterBoot = false;
  bool help = false;
  bool stateGiven = false;
  bool nameGiven = false;
  long idleExit = -1;
  std::string refusal;  // why a value was refused, where the option's complaint does not say
};

// One option: its spec, the complaint when its value is missing or refused, and what it sets;
// apply answers false for a value it refuses, with a complaint of its own in a.refusal if the
// usual one does not fit.
struct SimOption {
  OptionSpec spec;
  const char* complaint;
  bool (*apply)(SimArgs& a, const std::string& value);
};

template <typename T>
bool SetNumber(const std::string& value, long lo, long hi, T* out) {
  long n = 0;
  if (!ParseLong(value, lo, hi, &n)) return false;
  *out = static_cast<T>(n);
  return true;
}

bool SetListen(SimArgs& a, const std::string& v) {
  quill::sim::ListenAddress address;
  if (!quill::sim::ParseListenAddress(v, &address, &a.refusal)) {
    a.refusal = "--listen " + a.refusal;
    return false;
  }
  a.options.listen = address;
  return true;
}

bool SetLines(SimArgs& a, const std::string& v) {
  quill::LineMap map;
  if (!quill::ParseLineMap(v, &map, &a.refusal)) {
    a.refusal = "--lines: " + a.refusal;
    return false;
  }
  a.options.lines = map;
  return true;
}

bool SetState(SimArgs& a, const std::string& v) {
  a.stateGiven = true;
  if (v == "boot") a.options.state = BoardState::Boot;
  else if (v == "user") a.options.state = BoardState::User;
  else a.refusal = "--state accepts boot or user";
  return a.refusal.empty();
}

bool AddFault(SimArgs& a, const std::string& v) {
  quill::sim::Fault fault;
  if (!quill::sim::ParseFault(v, &fault, &a.refusal)) return false;
  a.options.faults.push_back(fault);
  return true;
}

// A name that is no path: the announcement's link.
bool SetName(SimArgs& a, const std::string& v) {
  a.options.announceName = v;
  a.nameGiven = true;
  return !v.empty() && v.find('/') == std::string::npos;
}

const SimOption kOptions[] = {
    {{"--help", false}, "", [](SimArgs& a, const std::string&) { return a.help = true; }},
    {{"--device", true}, "--device needs a name",
     [](SimArgs& a, const std::string& v) { a.deviceName = v; return true; }},
    {{"--mode", true}, "--mode needs a mode",
     [](SimArgs& a, const std::string& v) { a.modeText = v; return true; }},
    {{"--clock", true}, "--clock needs an index 0..8",
     [](SimArgs& a, const std::string& v) { return SetNumber(v, 0, 8, &a.options.clock); }},
    {{"--state", true}, "--state needs boot or user", SetState},
    {{"--baud", true}, "--baud needs a rate in bps",
     [](SimArgs& a, const std::string& v) { return SetNumber(v, 1, 4000000, &a.options.expectBaud); }},
    {{"--pace", false}, "", [](SimArgs& a, const std::string&) { return a.options.pace = true; }},
    {{"--adapter-latency", true}, "--adapter-latency needs milliseconds 1..255",
     [](SimArgs& a, const std::string& v) { return SetNumber(v, 1, 255, &a.options.adapterLatencyMs); }},
    {{"--fault", true}, "--fault needs ACTION:STEP[:INDEX]", AddFault},
    {{"--sync-reply", true}, "--sync-reply needs a byte 0..255",
     [](SimArgs& a, const std::string& v) { return SetNumber(v, 0, 255, &a.options.syncReply); }},
    {{"--erase-report", true}, "--erase-report needs a byte 0..255",
     [](SimArgs& a, const std::string& v) { return SetNumber(v, 0, 255, &a.options.eraseReport); }},
    {{"--kernels", true}, "--kernels needs a folder",
     [](SimArgs& a, const std::string& v) { a.options.kernelDir = v; return !v.empty(); }},
    {{"--flash-in", true}, "--flash-in needs a file",
     [](SimArgs& a, const std::string& v) { a.flashIn = v; return true; }},
    {{"--flash-out", true}, "--flash-out needs a file",
     [](SimArgs& a, const std::string& v) { a.flashOut = v; return true; }},
    {{"--listen", true}, "--listen needs HOST:PORT (PORT 0 for any free port)", SetListen},
    {{"--lines", true}, "--lines needs a MAP such as vpp=dtr,mode=rts", SetLines},
    {{"--name", true}, "--name needs a name without '/'", SetName},
    {{"--no-announce", false}, "",
     [](SimArgs& a, const std::string&) { a.options.announce = false; return true; }},
    {{"--exit-after-boot", false}, "",
     [](SimArgs& a, const std::string&) { return a.exitAfterBoot = true; }},
    {{"--exit-when-idle", true}, "--exit-when-idle needs seconds",
     [](SimArgs& a, const std::string& v) { return SetNumber(v, 0, 86400, &a.idleExit); }},
    {{"--verbose", false}, "", [](SimArgs& a, const std::string&) { return a.verbose = true; }},
};

const SimOption* FindOption(const std::string& name) {
  for (const SimOption& o : kOptions)
    if (name == o.spec.name) return &o;
  return nullptr;
}

// Reads the command line into a; kGoOn, or the exit status when there is nothing to serve. The
// options take effect in the order given, so --help answers at once unless a value before it
// is refused.
int ParseCommandLine(const std::vector<std::string>& words, SimArgs& a) {
  std::vector<OptionSpec> specs;
  for (const SimOption& o : kOptions) specs.push_back(o.spec);
  // quill-sim has no short forms and no defaults from the environment, and "--" is no option.
  quill::cli::ParserRules rules;
  rules.doubleDashEndsOptions = false;
  quill::cli::Options parsed;
  try {
    parsed = quill::cli::ParseArguments("quill-sim", words, specs, rules);
  } catch (const UsageError& e) {
    if (e.kind() == UsageError::Kind::MissingValue) return Usage(FindOption(e.argument())->complaint);
    return Usage("unknown option " + e.argument());
  }
  for (const auto& [name, value] : parsed.given) {
    const SimOption* option = FindOption(name);
    if (!option->apply(a, value)) return Usage(a.refusal.empty() ? option->complaint : a.refusal);
    if (a.help) {
      std::fputs(kHelp, stdout);
      return kExitOk;
    }
  }
  if (!parsed.positional.empty()) return Usage("unknown option " + parsed.positional.front());
  if (a.options.lines && !a.options.listen)
    return Usage("--lines needs --listen: a pseudo-terminal has no DTR or RTS lines");
  if (a.options.lines && a.stateGiven)
    return Usage("--state and --lines exclude each other: with --lines the Mode line chooses the "
                 "boot ROM or the kernel as VPP goes on");
  if (a.options.listen && a.nameGiven)
    return Usage("--name and --listen exclude each other: a board on the network is not announced");
  return kGoOn;
}

// The device and mode by name into the board's catalogue indexes.
int ResolveDevice(SimArgs& a) {
  const quill::DeviceType* device = quill::FindDeviceByName(a.deviceName);
  if (!device) return Usage("unknown device " + a.deviceName + " (TX-A10, TX-C30, TX-C31)");
  a.options.device = quill::GetDeviceIndex(device);
  if (a.modeText.empty()) return kGoOn;
  int found = -1;
  for (int m = 0; m < device->modeCount && device->modeCount > 1; ++m) {
    std::string name = quill::LoadString(device->modes[m].nameId);
    if (a.modeText == name || "Mode " + a.modeText == name) found = m;
  }
  if (found < 0) return Usage("--mode: " + a.deviceName + " has no mode \"" + a.modeText + "\"");
  a.options.mode = found;
  return kGoOn;
}

// Violations always go to standard error; with --verbose every byte and step as well.
void SetLog(SimArgs& a) {
  a.options.log = [verbose = a.verbose, start = Clock::now()](quill::sim::LogKind kind,
                                                            std::string_view text) {
    using quill::sim::LogKind;
    if (kind == LogKind::Error) {
      std::fprintf(stderr, "quill-sim: error: %.*s\n", static_cast<int>(text.size()), text.data());
      return;
    }
    if (!verbose) return;
    const char* tag = kind == LogKind::FromHost ? ">" : kind == LogKind::ToHost ? "<" : "*";
    std::fprintf(stderr, "%10.3f %s %.*s\n", Seconds(start), tag, static_cast<int>(text.size()),
                 text.data());
  };
}

void SaveFlash(const SimBoard& board, const std::string& path) {
  if (path.empty()) return;
  std::string e;
  if (!board.SaveFlash(path, &e)) std::fprintf(stderr, "quill-sim: %s\n", e.c_str());
}

// Serves until a signal ends the board, the line hangs up, or the exit the options asked for.
void ServeUntilDone(const SimBoard& board, const SimArgs& a, const sigset_t& signals) {
  std::size_t lastCount = 0;
  auto lastTraffic = Clock::now();
  for (;;) {
    timespec wait{0, 100'000'000};
    int s = sigtimedwait(&signals, nullptr, &wait);
    if (s == SIGUSR1) {
      SaveFlash(board, a.flashOut);
      continue;
    }
    if (s == SIGINT || s == SIGTERM || s == SIGHUP) return;
    if (board.HungUp()) return;
    if (a.exitAfterBoot && board.BootCount() > 0 && board.WaitUntilIdle(std::chrono::milliseconds(0)))
      return;
    if (a.idleExit < 0) continue;
    std::size_t count = board.Received().size();
    auto now = Clock::now();
    if (count != lastCount) {
      lastCount = count;
      lastTraffic = now;
    } else if (count > 0 && now - lastTraffic >= std::chrono::seconds(a.idleExit) &&
               board.WaitUntilIdle(std::chrono::milliseconds(0))) {
      return;
    }
  }
}

int Run(const SimArgs& a) {
  // The signals are taken by sigtimedwait; the board's thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  SimBoard board(a.options);
  std::string error;
  if (!a.flashIn.empty() && !board.LoadFlash(a.flashIn, &error)) {
    std::fprintf(stderr, "quill-sim: %s\n", error.c_str());
    return kExitFailed;
  }
  if (!board.Start(&error)) {
    std::fprintf(stderr, "quill-sim: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf("%s\n", board.PortPath().c_str());
  if (!board.AnnouncePath().empty()) std::printf("%s\n", board.AnnouncePath().c_str());
  std::fflush(stdout);

  ServeUntilDone(board, a, signals);
  board.Stop();
  SaveFlash(board, a.flashOut);
  std::vector<std::string> errors = board.Errors();
  if (!errors.empty()) {
    std::fprintf(stderr, "quill-sim: %zu violation(s) seen\n", errors.size());
    return kExitBoardErrors;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  SimArgs args;
  args.options.announce = true;
  if (int status = ParseCommandLine({argv + 1, argv + argc}, args); status != kGoOn) return status;
  if (int status = ResolveDevice(args); status != kGoOn) return status;
  SetLog(args);
  return Run(args);
}
