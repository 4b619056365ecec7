// quill-sim: a simulated TAVEO target board on a pseudo-terminal, for trying the wizard and
// quill-cli without hardware.
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "device/catalogue.h"
#include "resources/strings.h"
#include "sim/sim_board.h"

namespace {

using quill::sim::BoardOptions;
using quill::sim::BoardState;
using quill::sim::SimBoard;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBoardErrors = 2;
constexpr int kExitUsage = 64;

constexpr const char* kHelp = R"(Usage: quill-sim [OPTION]...
A simulated TAVEO target board. It opens a pseudo-terminal, prints the path of its port as the
first line on standard output, and answers on it as the boot ROM and the flash kernel do, until
SIGINT or SIGTERM.

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
  --name NAME          announce the port as NAME in the ports folder (default sim-<pid>-<n>):
                       a link to the pseudo-terminal in $XDG_RUNTIME_DIR/quill/ports (or
                       /tmp/quill-<uid>/quill/ports), printed as the second line on standard
                       output, which the wizard's port list offers
  --no-announce        do not announce the port
  --exit-after-boot    end once a kernel download has completed and the board is idle
  --exit-when-idle S   end once the host has sent something and the line has then been quiet,
                       with the board between commands, for S seconds
  --verbose            every byte and step on standard error
  --help               this text

Protocol and line-setting violations the board sees go to standard error as they happen.
Exit status: 0, or 2 when the board saw violations, 1 when the port could not be set up,
64 for a usage error.
)";

int Usage(const std::string& message) {
  std::fprintf(stderr, "quill-sim: %s\nTry 'quill-sim --help'.\n", message.c_str());
  return kExitUsage;
}

bool ParseLong(const char* text, long lo, long hi, long* value) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *value = v;
  return true;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  BoardOptions options;
  options.announce = true;
  std::string deviceName = "TX-A10";
  std::string modeText;
  std::string flashIn, flashOut;
  bool verbose = false;
  bool exitAfterBoot = false;
  long idleExit = -1;

  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    auto value = [&](const char** out) {
      if (i + 1 >= args.size()) return false;
      *out = argv[++i + 1];
      return true;
    };
    const char* v = nullptr;
    long n = 0;
    if (a == "--help") {
      std::fputs(kHelp, stdout);
      return kExitOk;
    } else if (a == "--device") {
      if (!value(&v)) return Usage("--device needs a name");
      deviceName = v;
    } else if (a == "--mode") {
      if (!value(&v)) return Usage("--mode needs a mode");
      modeText = v;
    } else if (a == "--clock") {
      if (!value(&v) || !ParseLong(v, 0, 8, &n)) return Usage("--clock needs an index 0..8");
      options.clock = static_cast<int>(n);
    } else if (a == "--state") {
      if (!value(&v)) return Usage("--state needs boot or user");
      if (std::string_view(v) == "boot") options.state = BoardState::Boot;
      else if (std::string_view(v) == "user") options.state = BoardState::User;
      else return Usage("--state accepts boot or user");
    } else if (a == "--baud") {
      if (!value(&v) || !ParseLong(v, 1, 4000000, &n)) return Usage("--baud needs a rate in bps");
      options.expectBaud = static_cast<uint32_t>(n);
    } else if (a == "--pace") {
      options.pace = true;
    } else if (a == "--fault") {
      if (!value(&v)) return Usage("--fault needs ACTION:STEP[:INDEX]");
      quill::sim::Fault fault;
      std::string error;
      if (!quill::sim::ParseFault(v, &fault, &error)) return Usage(error);
      options.faults.push_back(fault);
    } else if (a == "--sync-reply" || a == "--erase-report") {
      if (!value(&v) || !ParseLong(v, 0, 255, &n)) return Usage(std::string(a) + " needs a byte 0..255");
      (a == "--sync-reply" ? options.syncReply : options.eraseReport) = static_cast<uint8_t>(n);
    } else if (a == "--kernels") {
      if (!value(&v) || !*v) return Usage("--kernels needs a folder");
      options.kernelDir = v;
    } else if (a == "--flash-in") {
      if (!value(&v)) return Usage("--flash-in needs a file");
      flashIn = v;
    } else if (a == "--flash-out") {
      if (!value(&v)) return Usage("--flash-out needs a file");
      flashOut = v;
    } else if (a == "--name") {
      if (!value(&v) || !*v || std::strchr(v, '/')) return Usage("--name needs a name without '/'");
      options.announceName = v;
    } else if (a == "--no-announce") {
      options.announce = false;
    } else if (a == "--exit-after-boot") {
      exitAfterBoot = true;
    } else if (a == "--exit-when-idle") {
      if (!value(&v) || !ParseLong(v, 0, 86400, &n)) return Usage("--exit-when-idle needs seconds");
      idleExit = n;
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      return Usage("unknown option " + std::string(a));
    }
  }

  const quill::DeviceType* device = quill::FindDeviceByName(deviceName);
  if (!device) return Usage("unknown device " + deviceName + " (TX-A10, TX-C30, TX-C31)");
  options.device = quill::GetDeviceIndex(device);
  if (!modeText.empty()) {
    int found = -1;
    for (int m = 0; m < device->modeCount && device->modeCount > 1; ++m) {
      std::string name = quill::LoadString(device->modes[m].nameId);
      if (modeText == name || "Mode " + modeText == name) found = m;
    }
    if (found < 0) return Usage("--mode: " + deviceName + " has no mode \"" + modeText + "\"");
    options.mode = found;
  }

  auto start = std::chrono::steady_clock::now();
  options.log = [verbose, start](quill::sim::LogKind kind, std::string_view text) {
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

  // The signals are taken by sigtimedwait below; the board's thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  SimBoard board(options);
  std::string error;
  if (!flashIn.empty() && !board.LoadFlash(flashIn, &error)) {
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

  auto saveFlash = [&] {
    if (flashOut.empty()) return;
    std::string e;
    if (!board.SaveFlash(flashOut, &e)) std::fprintf(stderr, "quill-sim: %s\n", e.c_str());
  };

  std::size_t lastCount = 0;
  auto lastTraffic = std::chrono::steady_clock::now();
  for (;;) {
    timespec wait{0, 100'000'000};
    int s = sigtimedwait(&signals, nullptr, &wait);
    if (s == SIGUSR1) {
      saveFlash();
      continue;
    }
    if (s == SIGINT || s == SIGTERM || s == SIGHUP) break;
    if (board.HungUp()) break;
    if (exitAfterBoot && board.BootCount() > 0 && board.WaitUntilIdle(std::chrono::milliseconds(0)))
      break;
    if (idleExit >= 0) {
      std::size_t count = board.Received().size();
      auto now = std::chrono::steady_clock::now();
      if (count != lastCount) {
        lastCount = count;
        lastTraffic = now;
      } else if (count > 0 && now - lastTraffic >= std::chrono::seconds(idleExit) &&
                 board.WaitUntilIdle(std::chrono::milliseconds(0))) {
        break;
      }
    }
  }
  board.Stop();
  saveFlash();
  std::vector<std::string> errors = board.Errors();
  if (!errors.empty()) {
    std::fprintf(stderr, "quill-sim: %zu violation(s) seen\n", errors.size());
    return kExitBoardErrors;
  }
  return kExitOk;
}
