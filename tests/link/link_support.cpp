#include "app/wizard_state.h"
#include "tests/link/link_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <sstream>

#include "device/catalogue.h"
#include "sim/srec_line.h"

namespace quill::test {

RecordingNotifier::~RecordingNotifier() {
  if (comm_) comm_->DetachNotifier(this);
}

void RecordingNotifier::Notify(const Progress& progress) {
  const ProgressRecord record{progress.phase, progress.position, progress.range};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
    if (progress.phase == PhaseIdle) ++idle_;
  }
  cv_.notify_all();
  if (hook) hook(record);
}

void RecordingNotifier::Finished(const Outcome& outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  outcomes_.emplace_back(outcome, records_.size());
}

std::vector<std::pair<Outcome, std::size_t>> RecordingNotifier::Outcomes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outcomes_;
}

bool RecordingNotifier::WaitIdle(std::chrono::milliseconds timeout, int count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return idle_ >= count; });
}

bool RecordingNotifier::WaitForPhase(int32_t phase, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] {
    for (const ProgressRecord& r : records_) {
      if (r.phase == phase) return true;
    }
    return false;
  });
}

std::vector<ProgressRecord> RecordingNotifier::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::vector<ProgressRecord> RecordingNotifier::RecordsOf(int32_t phase) const {
  std::vector<ProgressRecord> out;
  for (const ProgressRecord& r : Records()) {
    if (r.phase == phase) out.push_back(r);
  }
  return out;
}

int RecordingNotifier::IdleCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_;
}

void RecordingNotifier::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
  outcomes_.clear();
  idle_ = 0;
}

std::string SRecord(int type, uint32_t address, const std::vector<uint8_t>& data,
                    bool badChecksum) {
  return sim::MakeSRecordLine(type, address, data, badChecksum ? 1 : 0);
}

std::string WriteProgramFile(const std::vector<std::string>& lines) {
  static std::atomic<int> counter{0};
  const std::string path = ::testing::TempDir() + "quill_link_" + std::to_string(::getpid()) +
                           "_" + std::to_string(counter++) + ".mot";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const std::string& line : lines) out << line << '\n';
  return path;
}

std::vector<uint8_t> Pattern(std::size_t n, uint8_t seed) {
  std::vector<uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
  return out;
}

int DeviceIndex(const std::string& name) { return GetDeviceIndex(FindDeviceByName(name)); }

WizardState MakeSheet(const std::string& device, int mode, int clock, const std::string& port) {
  WizardState sheet;
  sheet.m_strMCUType = device;
  sheet.m_nMCUMode = mode;
  sheet.m_nClockSpeed = clock;
  sheet.DeriveCatalogueRefs();
  sheet.m_strComPort = port;
  const ClockRange& range = *sheet.m_pClockRange;
  sheet.m_nComBootRate = static_cast<int32_t>(range.bootRates[range.bootRateCount - 1]);
  sheet.m_nComUserRate = 9600;
  sheet.m_dwOffset = 0;
  sheet.m_dwLowest = sheet.Mode().flashLowest;
  sheet.m_dwHighest = sheet.Mode().flashHighest;
  return sheet;
}

sim::BoardOptions BoardFor(const WizardState& sheet, sim::BoardState state) {
  sim::BoardOptions options;
  options.device = GetDeviceIndex(sheet.m_pDevice);
  options.mode = sheet.ModeIndex();
  options.clock = sheet.ClockIndex();
  options.state = state;
  return options;
}

std::unique_ptr<sim::SimBoard> StartBoard(sim::BoardOptions options) {
  auto board = std::make_unique<sim::SimBoard>(std::move(options));
  std::string error;
  EXPECT_TRUE(board->Start(&error)) << error;
  return board;
}

std::vector<uint8_t> ExpectedFlash(const WizardState& sheet, const std::vector<Record>& records) {
  const DeviceMode& mode = sheet.Mode();
  std::vector<uint8_t> flash(mode.flashHighest - mode.flashLowest + 1, 0xFF);
  for (const Record& record : records) {
    const uint64_t start = static_cast<uint32_t>(record.address + sheet.m_dwOffset);
    for (std::size_t i = 0; i < record.data.size(); ++i) {
      const uint64_t a = start + i;
      if (a < sheet.m_dwLowest || a > sheet.m_dwHighest) continue;
      if (a < mode.flashLowest || a > mode.flashHighest) continue;
      bool selected = true;
      for (int b = 0; b < mode.blockCount; ++b) {
        if (mode.blocks[b].start <= a && a <= mode.blocks[b].end) {
          selected = FindBlockName(sheet.m_astrSelectedBlocks, mode.blocks[b].name) >= 0;
        }
      }
      if (selected) flash[a - mode.flashLowest] = record.data[i];
    }
  }
  return flash;
}

std::vector<uint8_t> ChunkBytes(uint32_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out = {0x57, 0x00};
  const uint32_t count = static_cast<uint32_t>(data.size());
  for (uint32_t v : {address, count}) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  out.push_back(0x11);
  out.insert(out.end(), data.begin(), data.end());
  out.push_back(0x11);
  unsigned sum = 0;
  for (uint8_t b : data) sum += b;
  out.push_back(static_cast<uint8_t>(0xFF - (sum & 0xFF)));
  return out;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

ChildProcess::ChildProcess(std::vector<std::string> args, uint64_t fileSizeLimit) {
  static std::atomic<int> counter{0};
  const std::string base = ::testing::TempDir() + "quill_child_" + std::to_string(::getpid()) +
                           "_" + std::to_string(counter++);
  out_ = base + ".out";
  err_ = base + ".err";
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    ::dup2(::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    if (fileSizeLimit != 0) {
      const rlimit limit{fileSizeLimit, fileSizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
}

int ChildProcess::Wait() {
  int status = 0;
  ::waitpid(pid_, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void ChildProcess::Signal(int sig) { ::kill(pid_, sig); }
std::string ChildProcess::Out() const { return ReadAll(out_); }
std::string ChildProcess::Err() const { return ReadAll(err_); }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

PgServer::PgServer() {
  // Debian installs each major version's programs under /usr/lib/postgresql/VERSION/bin.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    if (std::filesystem::exists(entry.path() / "bin/initdb")) bin_ = (entry.path() / "bin").string();
  }
  if (bin_.empty()) {
    missing_ = "PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/initdb; "
               "scripts/install-deps.sh installs postgresql-15)";
    return;
  }
  std::string base = ::testing::TempDir() + "quill_pg_XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) {
    missing_ = "no temporary folder";
    return;
  }
  dir_ = base;
  if (::geteuid() == 0 && ::chown(dir_.c_str(), 65534, 65534) != 0) missing_ = "cannot hand the folder to nobody";
  port_ = FreeTcpPort();
}

PgServer::~PgServer() {
  Stop();
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

int PgServer::Run(std::vector<std::string> args, std::string* output) {
  if (::geteuid() == 0) {
    args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  ChildProcess child(std::move(args));
  const int status = child.Wait();
  if (output) *output = child.Out() + child.Err();
  return status;
}

bool PgServer::Start(std::string* error) {
  if (!missing_.empty()) {
    *error = missing_;
    return false;
  }
  if (!made_) {
    if (Run({bin_ + "/initdb", "-D", dir_ + "/data", "-U", "quill", "-A", "trust", "-E", "UTF8",
             "--no-sync"}, error) != 0) {
      return false;
    }
    made_ = true;
  }
  // The socket in the test's folder; no fsync: the test's data need not survive a crash.
  const std::string options = "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) +
                              " -k " + dir_ + " -F";
  if (Run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-l", dir_ + "/log", "-o", options, "-w", "start"},
          error) != 0) {
    *error += ReadAll(dir_ + "/log");
    return false;
  }
  running_ = true;
  return true;
}

void PgServer::Stop() {
  if (!running_) return;
  Run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-m", "fast", "-w", "stop"}, nullptr);
  running_ = false;
}

std::string PgServer::Url() const {
  return "postgresql://quill@127.0.0.1:" + std::to_string(port_) + "/postgres";
}

uint16_t FreeTcpPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(s);
  return port;
}

namespace {

// Whether /proc/net/tcp lists a socket listening on 127.0.0.1:port.
bool Listening(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;
  }
  return false;
}

}  // namespace

PortServer::PortServer(std::vector<Line> lines) : lines_(std::move(lines)) {
  static std::atomic<int> counter{0};
  dir_ = ::testing::TempDir() + "quill_ser2net_" + std::to_string(::getpid()) + "_" +
         std::to_string(counter++);
  std::filesystem::create_directories(dir_);
}

PortServer::~PortServer() {
  Kill();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

namespace {

std::string Connector(const PortServer::Line& line) {
  const std::string served = "rfc2217://";
  if (line.device.rfind(served, 0) != 0)
    return "serialdev," + line.device + "," + std::to_string(line.rate) + "n81,local";
  const std::string hostPort = line.device.substr(served.size());
  const std::size_t colon = hostPort.rfind(':');
  return "telnet(rfc2217),tcp," + hostPort.substr(0, colon) + "," + hostPort.substr(colon + 1);
}

}  // namespace

bool PortServer::Start(std::string* error) {
  std::ofstream config(dir_ + "/ser2net.yaml");
  config << "%YAML 1.1\n---\n";
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    ports_.push_back(FreeTcpPort());
    config << "connection: &line" << i << "\n"
           << "  accepter: " << (lines_[i].rfc2217 ? "telnet(rfc2217),tcp," : "tcp,")
           << "127.0.0.1," << ports_.back() << "\n"
           << "  connector: " << Connector(lines_[i]) << "\n"
           // As the README's configuration: replies are passed on at once.
           << "  options:\n    chardelay: false\n";
  }
  config.close();
  const std::string log = dir_ + "/ser2net.log";
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    ::dup2(STDOUT_FILENO, STDERR_FILENO);
    // -u: no UUCP lock files, which an unprivileged test could not write.
    const std::string file = dir_ + "/ser2net.yaml", pidFile = dir_ + "/ser2net.pid";
    ::execlp("ser2net", "ser2net", "-n", "-u", "-c", file.c_str(), "-P", pidFile.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    bool all = true;
    for (uint16_t port : ports_) all = all && Listening(port);
    if (all) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      if (error) *error = "ser2net ended: " + ReadAll(log);
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      if (error) *error = "ser2net did not listen within 10 s: " + ReadAll(log);
      return false;
    }
    // Nothing announces readiness; the listening sockets are looked at again shortly.
    std::this_thread::sleep_for(5ms);
  }
}

std::string PortServer::Url(std::size_t i) const {
  return std::string(lines_.at(i).rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" +
         std::to_string(ports_.at(i));
}

void PortServer::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace quill::test

namespace quill::test {

PortHolder::PortHolder(const std::string& path, const char* name) {
  int ready[2], release[2];
  if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    // Only calls that are safe after a fork of a process with threads.
    // Nothing of the parent's stays open here, so what the child holds is what it opens below.
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != ready[1] && fd != release[0]) ::close(fd);
    }
    ::prctl(PR_SET_NAME, name);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char ok = fd >= 0 ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    char c;
    (void)!::read(release[0], &c, 1);
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  release_ = release[1];
  char ok = 0;
  if (child < 0 || ::read(ready[0], &ok, 1) != 1 || ok != 'y') ADD_FAILURE() << "cannot hold " << path;
  ::close(ready[0]);
  pid_ = child;
}

PortHolder::~PortHolder() {
  if (release_ >= 0) ::close(release_);
  if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
}

NodeWatch::NodeWatch(const std::string& path) {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0 || ::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE | IN_ATTRIB) < 0)
    ADD_FAILURE() << "cannot watch " << path;
}

NodeWatch::~NodeWatch() {
  if (fd_ >= 0) ::close(fd_);
}

void NodeWatch::Drain() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      ++events_;
      if (event->mask & IN_OPEN) ++opens_;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

int NodeWatch::Opens() {
  Drain();
  return opens_;
}

int NodeWatch::Events() {
  Drain();
  return events_;
}

bool OpensForExclusiveUse(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct termios settings;
  const bool ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::tcgetattr(fd, &settings) == 0;
  ::close(fd);
  return ok;
}

}  // namespace quill::test
