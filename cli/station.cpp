// The programming station: `run JOB --watch`. It waits for boards instead of taking the ports
// given now; every port that matches the selectors is programmed once when it appears, and again
// only after it has gone and come back. One poll() waits for everything at once: the boards'
// progress, Ctrl-C, the system's device events and the simulated boards' announcements.
// A board on the network is there while its server takes a connection: it is looked for with a
// bare TCP connection, and after its run a connection is held open until the server closes it,
// which is its unplugging.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>

#include "cli/console.h"
#include "cli/hotplug.h"
#include "cli/job_file.h"
#include "cli/record_outlet.h"
#include "link/port_address.h"
#include "link/port_list.h"
#include "link/port_names.h"

namespace quill::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A port udev has just made may lack its node's permissions for a moment (a rule applies them
// after the node appears); it is retried for this long before its run is started anyway, and then
// fails with the reason.
constexpr auto kSettleTime = std::chrono::seconds(2);
constexpr int kSettleStepMs = 50;
// A network board not there is looked for this often; a look that has no answer within
// kProbeTime counts as not there.
constexpr auto kProbeEvery = std::chrono::milliseconds(200);
constexpr auto kProbeTime = std::chrono::seconds(1);

std::string RealPath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path resolved = std::filesystem::canonical(path, ec);
  return ec ? path : resolved.string();
}

bool IsCharacterDevice(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

struct Selector {
  std::string text;
  bool path = false;
  bool network = false;  // rfc2217:// or tcp://
  NetPortAddress net;
};

std::vector<Selector> WatchSelectors(const std::vector<std::string>& given) {
  std::vector<Selector> selectors;
  for (const std::string& text : given) {
    Selector s;
    s.text = text;
    if (text == "auto") {
      throw UsageError("--port auto names the one adapter present; to watch, name the ports "
                       "with usb:VID:PID[:SERIAL], serial:SERIAL or a path, or give no --port");
    }
    if (text.rfind("usb:", 0) == 0 || text.rfind("serial:", 0) == 0) {
      // The selector's own syntax, checked against one adapter it cannot fail to miss.
      SerialPortInfo probe;
      probe.usb = true;
      probe.path = "-";
      std::string error;
      if (SelectPort(text, {probe}, &error).empty() && error.find("accepted:") != std::string::npos &&
          error.find("matches no port") == std::string::npos) {
        throw UsageError(error);
      }
    } else if (PortAddress address; text.find("://") != std::string::npos) {
      std::string error;
      if (!ParsePortAddress(text, &address, &error)) throw UsageError(error);
      s.network = true;
      s.net = address.net;
    } else {
      s.path = true;
    }
    selectors.push_back(std::move(s));
  }
  return selectors;
}

bool Matches(const std::vector<Selector>& selectors, const SerialPortInfo& port) {
  // None given: every USB serial adapter and every simulated board, not the built-in UARTs.
  if (selectors.empty()) return port.usb || port.simulated;
  for (const Selector& s : selectors) {
    if (s.network) continue;
    // A path may be a link to the device (a /dev/serial/by-id name), present only while plugged in.
    if (s.path ? port.path == s.text || RealPath(port.path) == RealPath(s.text)
               : SelectPort(s.text, {port}, nullptr) == port.path) {
      return true;
    }
  }
  return false;
}

// What the station knows of one port.
struct PortEntry {
  bool present = false;
  bool running = false;
  bool owed = false;           // appeared since its last run: to be programmed
  bool settling = false;       // waiting for its node to become usable
  Clock::time_point appeared;  // when it appeared (the settling time counts from here)
  std::string serial;
  std::string result;  // the last run's, for the table
  // A network board: the connection that looks for it (connecting) or that is held after its run
  // (connected), and when the next look is due.
  const Selector* net = nullptr;
  int socket = -1;
  bool connecting = false;
  Clock::time_point probeStarted, nextProbe;
};

// A non-blocking TCP connection to the address; -1 when none can be begun (no such host now).
int ConnectTo(const NetPortAddress& address) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found) != 0)
    return -1;
  int s = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s >= 0 && ::connect(s, found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS) {
    ::close(s);
    s = -1;
  }
  ::freeaddrinfo(found);
  return s;
}

class Station {
 public:
  Station(const JobFile& job, const Options& options, const LinkJob& linkJob, JsonLog& log,
          RecordOutlet* records, OperationWaiter& waiter, std::vector<Selector> selectors)
      : job_(job), options_(options), linkJob_(linkJob), records_(records), waiter_(waiter),
        selectors_(std::move(selectors)),
        table_(StderrIsTerminal() && !options.Has("--quiet") && !options.Has("--trace")),
        texts_(options.Has("--json") ? Stream::Err : Stream::Out),
        shared_([&] {
          BoardRecord shared = SharedRecord(job.op, linkJob.state, &job.origin);
          shared.valueName = ValueName(linkJob, &job.origin);
          return shared;
        }()),
        run_(job.op, Settings(), log, waiter.Notifier()) {}

  ~Station() {
    for (auto& [path, entry] : ports_) CloseSocket(entry);
  }
  int Run();

 private:
  BoardRun::Settings Settings() {
    BoardRun::Settings settings = BoardRun::SettingsFor(options_, true);
    settings.erase = linkJob_.erase;
    // The result line says it; the result page's success text would only repeat it per board.
    settings.successTexts = false;
    if (table_) settings.style = ProgressStyle::Off;
    settings.beforeText = [this] { HideTable(); };
    settings.records = records_;
    settings.value = MakeValueSource(linkJob_, options_, shared_.valueName);
    return settings;
  }

  void Rescan(const std::vector<std::string>& removed);
  // Looks for the network boards not there, and notices those held going away; the time until
  // the next look is due.
  int FollowNetwork();
  void StartProbe(PortEntry& entry);
  static void CloseSocket(PortEntry& entry) {
    if (entry.socket >= 0) ::close(entry.socket);
    entry.socket = -1;
    entry.connecting = false;
  }
  // Starts the boards owed a run; the time until a settling port is to be looked at again.
  int StartOwed();
  void Collect();
  void Report(const BoardRecord& record);
  void HideTable();
  void DrawTable();
  std::string Summary() const {
    return std::to_string(done_) + " boards done, " + std::to_string(succeeded_) + " succeeded, " +
           std::to_string(done_ - succeeded_) + " failed";
  }

  const JobFile& job_;
  const Options& options_;
  const LinkJob& linkJob_;
  RecordOutlet* records_;
  OperationWaiter& waiter_;
  std::vector<Selector> selectors_;
  bool table_;
  Stream texts_;
  BoardRecord shared_;
  BoardRun run_;
  std::map<std::string, PortEntry> ports_;
  int done_ = 0, succeeded_ = 0;
  int firstFailure_ = kExitSuccess;
  bool stopping_ = false;  // no further board is started
  int tableLines_ = 0;
  std::string drawn_;
};

void Station::Rescan(const std::vector<std::string>& removed) {
  // A port reported gone has gone, even when it is back by now.
  for (const std::string& path : removed) {
    const auto it = ports_.find(path);
    if (it != ports_.end()) it->second.present = false;
  }
  PortListRoots roots;
  roots.judgeAccess = false;  // only the ports' identities matter here
  const PortListing listing = ListSerialPorts(roots);
  std::map<std::string, std::string> now;  // path -> adapter serial
  for (const SerialPortInfo& port : listing.ports) {
    if (Matches(selectors_, port)) now[port.path] = port.serial;
  }
  // A path named outright may be a device no list shows (a pseudo-terminal of its own).
  std::set<std::string> devices;
  for (const auto& [path, serial] : now) devices.insert(RealPath(path));
  for (const Selector& s : selectors_) {
    if (s.path && !devices.count(RealPath(s.text)) && IsCharacterDevice(s.text)) now[s.text] = "";
  }
  for (auto& [path, entry] : ports_) {
    if (!entry.net && !now.count(path)) {
      entry.present = false;
      entry.owed = entry.settling = false;
    }
  }
  for (const auto& [path, serial] : now) {
    PortEntry& entry = ports_[path];
    if (entry.present) continue;
    entry.present = true;
    entry.owed = true;
    entry.settling = false;
    entry.appeared = Clock::now();
    entry.serial = serial;
    entry.result.clear();
  }
  std::erase_if(ports_, [](const auto& item) {
    return !item.second.net && !item.second.present && !item.second.running;
  });
}

void Station::StartProbe(PortEntry& entry) {
  entry.socket = ConnectTo(entry.net->net);
  entry.connecting = entry.socket >= 0;
  entry.probeStarted = Clock::now();
  entry.nextProbe = entry.probeStarted + kProbeEvery;
}

int Station::FollowNetwork() {
  int timeout = -1;
  const Clock::time_point now = Clock::now();
  for (const Selector& s : selectors_) {
    if (!s.network) continue;
    PortEntry& entry = ports_[s.text];
    entry.net = &s;
    if (entry.running) continue;
    if (entry.socket >= 0) {
      pollfd p{entry.socket, static_cast<short>(entry.connecting ? POLLOUT : POLLIN), 0};
      const bool ready = ::poll(&p, 1, 0) == 1;
      int error = 0;
      socklen_t length = sizeof error;
      if (entry.connecting && ready) {
        ::getsockopt(entry.socket, SOL_SOCKET, SO_ERROR, &error, &length);
        entry.connecting = false;
        if (error == 0 && entry.present) {
          // A port server opens its serial port for each connection, which raises DTR and RTS:
          // with VPP on DTR the held connection releases both at once (SET-CONTROL 9 and 12, not
          // waited for). A raw TCP port has no lines to release; its bytes would reach the board.
          static constexpr uint8_t kRelease[] = {255, 251, 44, 255, 250, 44, 5, 9,  255, 240,
                                                 255, 250, 44, 5,   12,  255, 240};
          if (s.net.scheme == NetPortAddress::Scheme::Rfc2217)
            (void)::send(entry.socket, kRelease, sizeof kRelease, MSG_NOSIGNAL | MSG_DONTWAIT);
        } else if (error == 0) {
          // It is there: its run opens a connection of its own.
          CloseSocket(entry);
          entry.present = entry.owed = true;
          entry.result.clear();
        } else {
          CloseSocket(entry);
          entry.present = false;
        }
      } else if (entry.connecting) {
        if (now - entry.probeStarted >= kProbeTime) {
          CloseSocket(entry);
          entry.present = false;
        } else {
          timeout = kSettleStepMs;
        }
      } else if (ready) {
        // The held connection: what the server says is of no interest; its end is the board's.
        char buffer[512];
        const ssize_t n = ::recv(entry.socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
          CloseSocket(entry);
          entry.present = false;
        }
      }
    }
    if (entry.socket < 0 && !entry.present && !stopping_) {
      if (now >= entry.nextProbe) StartProbe(entry);
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(entry.nextProbe - now);
      const int ms = entry.connecting ? kSettleStepMs : static_cast<int>(std::max<int64_t>(wait.count(), 1));
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
  }
  return timeout;
}

int Station::StartOwed() {
  int timeout = -1;
  if (stopping_) return timeout;
  for (auto& [path, entry] : ports_) {
    if (!entry.present || !entry.owed || entry.running) continue;
    // Without read and write permission yet: most likely udev is still applying them.
    if (!entry.net && ::access(path.c_str(), R_OK | W_OK) != 0 &&
        Clock::now() - entry.appeared < kSettleTime) {
      entry.settling = true;
      timeout = kSettleStepMs;
      continue;
    }
    entry.owed = entry.settling = false;
    entry.running = true;
    run_.Start(linkJob_.state, path, entry.serial, shared_);
  }
  return timeout;
}

void Station::Report(const BoardRecord& r) {
  ++done_;
  std::string result = ResultName(r);
  if (r.exitStatus == kExitSuccess) {
    ++succeeded_;
  } else {
    result = "failed (" + std::to_string(r.exitStatus) + "): " + result;
    if (firstFailure_ == kExitSuccess) firstFailure_ = r.exitStatus;
  }
  char tail[64];
  std::snprintf(tail, sizeof tail, "  %s bytes  %.1f s", HexValue(r.bytesInside).c_str(), r.seconds);
  HideTable();
  WriteLines(texts_, "", r.port + "  " + result + tail);
  const auto it = ports_.find(r.port);
  if (it != ports_.end()) {
    it->second.running = false;
    it->second.result = result;
    // A network board stays there until its server lets the held connection go.
    if (it->second.net) StartProbe(it->second);
  }
}

void Station::Collect() {
  for (const BoardRecord& record : run_.TakeFinished()) Report(record);
  std::erase_if(ports_, [](const auto& item) {
    return !item.second.net && !item.second.present && !item.second.running;
  });
  if (run_.LogFailed() && !stopping_) {
    // A board whose record cannot be kept is not programmed.
    stopping_ = true;
    HideTable();
    WriteStderr("quill-cli: the log cannot be written any more; no further board is started\n");
  }
}

void Station::HideTable() {
  if (tableLines_ == 0) return;
  WriteStderr("\033[" + std::to_string(tableLines_) + "A\r\033[J");
  tableLines_ = 0;
  drawn_.clear();
}

void Station::DrawTable() {
  if (!table_) return;
  std::vector<std::array<std::string, 4>> rows = {{"port", "state", "percent", "result"}};
  std::map<std::string, BoardRun::Status> running;
  for (BoardRun::Status& status : run_.Running()) running[status.port] = std::move(status);
  for (const auto& [path, entry] : ports_) {
    const auto it = running.find(path);
    if (it != running.end()) {
      rows.push_back({path, it->second.state.empty() ? "starting" : it->second.state,
                      std::to_string(it->second.percent) + "%", ""});
    } else if (entry.settling) {
      rows.push_back({path, "waiting for the port", "", ""});
    } else if (entry.present && !entry.owed) {
      rows.push_back({path, "done: unplug the board", "", entry.result});
    }
  }
  std::array<std::size_t, 4> width{};
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  }
  const std::size_t columns = static_cast<std::size_t>(std::max(TerminalColumns(), 20)) - 1;
  std::string text = Summary() + "; Ctrl-C ends the station\n";
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c] + std::string(width[c] - row[c].size(), ' ') + (c + 1 < row.size() ? "  " : "");
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (line.size() > columns) line.resize(columns);
    text += line + "\n";
  }
  if (text == drawn_) return;
  HideTable();
  WriteStderr(text);
  drawn_ = text;
  tableLines_ = static_cast<int>(rows.size()) + 1;
}

int Station::Run() {
  std::vector<std::string> warnings;
  std::string problem;
  // The folder is made (private to this user) if no board has announced yet, so one that
  // announces later is seen.
  const std::string folder = TrustAnnounceDirectory(true, &problem) ? PortAnnounceDirectory() : "";
  if (folder.empty()) warnings.push_back("simulated boards are not watched: " + problem);
  HotplugWatcher watcher;
  watcher.Open(folder, &warnings);
  for (const std::string& warning : warnings) WriteStderr("quill-cli: " + warning + "\n");
  const std::vector<int> watched = watcher.Descriptors();

  Rescan({});
  bool interrupted = false;
  while (!interrupted) {
    const int probe = FollowNetwork();
    const int owed = StartOwed();
    const int timeout = probe < 0 ? owed : owed < 0 ? probe : std::min(probe, owed);
    run_.Follow();
    Collect();
    if (stopping_ && run_.Running().empty()) break;
    DrawTable();
    std::vector<int> fds = watched;
    for (const auto& [path, entry] : ports_) {
      if (entry.socket >= 0 && !entry.connecting) fds.push_back(entry.socket);
    }
    std::vector<bool> ready;
    interrupted = waiter_.Wait(fds, timeout, ready);
    if (std::find(ready.begin(), ready.begin() + static_cast<std::ptrdiff_t>(watched.size()), true) !=
        ready.begin() + static_cast<std::ptrdiff_t>(watched.size())) {
      std::vector<std::string> removed;
      if (watcher.Drain(&removed)) Rescan(removed);
    }
  }
  if (interrupted) {
    // Ctrl-C: the boards still running stop as the Abort button stops them, and count as failed.
    run_.AbortAll();
    while (run_.Follow()) waiter_.Wait();
    Collect();
  }
  HideTable();
  WriteLines(texts_, "", Summary());
  if (records_ != nullptr) {
    if (std::optional<std::string> notice = records_->Finish()) WriteStderr(*notice + "\n");
  }
  if (firstFailure_ != kExitSuccess) return firstFailure_;
  return run_.LogFailed() ? kExitCannotWrite : kExitSuccess;
}

}  // namespace

int RunStation(const JobFile& job, const Options& options) {
  const std::vector<Selector> selectors = WatchSelectors(options.ports);
  LinkJob linkJob;
  JsonLog log;
  int status = kExitSuccess;
  try {
    status = PrepareLinkJob(job.op, options, &log, linkJob);
  } catch (const UsageError& e) {
    throw UsageError("the job '" + job.origin.path + "': " + e.what());
  }
  if (status != kExitSuccess) return status;
  const std::unique_ptr<RecordOutlet> records = RecordOutlet::FromOptions(options, true);
  OperationWaiter waiter;
  if (!waiter.Ok()) {
    std::cerr << "quill-cli: " << waiter.Error() << '\n';
    return ErrorInternal;
  }
  Station station(job, options, linkJob, log, records.get(), waiter, selectors);
  return station.Run();
}

}  // namespace quill::cli
