#include "sim/sim_board.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#include "kernels/kernel_store.h"
#include "resources/strings.h"
#include "sim/announce.h"
#include "sim/com_port_server.h"
#include "sim/line_settings.h"
#include "sim/net_line.h"
#include "sim/pty_line.h"

namespace quill::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kSpinNs = 300'000;  // the stretch before a paced reply spent polling
// Rate the port starts at before any host has configured it.
constexpr uint32_t kInitialRate = 9600;

std::string HexBytes(const uint8_t* p, std::size_t n) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", p[i]);
    out += buf;
  }
  return out;
}

ModelOptions ModelOptionsOf(const BoardOptions& o) {
  ModelOptions m;
  m.device = o.device;
  m.mode = o.mode;
  m.clock = o.clock;
  m.state = o.state;
  m.expectBaud = o.expectBaud;
  m.faults = o.faults;
  m.syncReply = o.syncReply;
  m.eraseReport = o.eraseReport;
  m.kernel = [dir = o.kernelDir](uint32_t id) {
    const KernelStoreDirs dirs = dir.empty() ? KernelStoreDirs::Default() : KernelStoreDirs{dir, {}};
    return FindKernel(id, dirs).bytes;
  };
  m.log = o.log;
  return m;
}

// What the board simulates, for the port lists.
std::string Description(const BoardModel& model) {
  const DeviceType& device = model.Device();
  return "device=" + std::string(device.GetName()) +
         "\nmode=" + (device.modeCount > 1 ? LoadString(model.Mode().nameId) : std::string()) +
         "\nclock=" + LoadString(model.Mode().clockRanges[model.Options().clock].textId) + '\n';
}

const char* LineLabel(ControlLine line) { return line == ControlLine::Dtr ? "DTR" : "RTS"; }

}  // namespace

struct SimBoard::Impl : ComPortServer::Handler {
  struct Timed {
    uint8_t byte;
    Clock::time_point at;
  };

  explicit Impl(BoardOptions o) : opt(std::move(o)), model(ModelOptionsOf(opt)) {
    opt.device = model.Options().device;
    opt.mode = model.Options().mode;
    opt.clock = model.Options().clock;
    model.SetLineRate(kInitialRate);
    powered = !opt.lines.has_value();
  }

  BoardOptions opt;
  BoardModel model;  // guarded by mu, as everything below but the thread
  PtyLine line;
  // Over TCP: the listener and its client, and the Com Port Control Option between them.
  bool net = false;
  NetLine netLine;
  ComPortServer server{kInitialRate};
  // The control lines as the host left them, and VPP as the line map makes of them.
  bool dtr = false, rts = false;
  bool powered = true;
  std::vector<LineChange> lineChanges;
  PortAnnouncement announcement;
  int wake = -1;  // eventfd: Stop wakes the serving thread
  std::thread thread;
  bool stopRequested = false;
  bool running = false;
  bool lineClosed = false;  // a HangUp fault closed the line
  bool hangUpPending = false;

  mutable std::mutex mu;
  mutable std::condition_variable cv;

  std::vector<uint8_t> received;
  std::vector<uint8_t> sent;
  std::deque<Timed> input;   // host bytes with the time they took on the line
  std::deque<Timed> output;  // replies with the time they are due
  Clock::time_point lastArrival{};
  Clock::time_point lastSend{};
  uint32_t lineRate = kInitialRate;
  std::vector<std::string> lineProblems;

  void Log(LogKind kind, std::string_view text) {
    if (opt.log) opt.log(kind, text);
  }

  // Reads the host's line settings; a problem is recorded when it first shows.
  void CheckLine() {
    LineSettings s;
    if (net) s = server.Settings();
    else if (!ReadLineSettings(line.slave, &s)) return;
    lineRate = s.outputRate;
    model.SetLineRate(lineRate);
    std::vector<std::string> problems = LineProblems(s, model.ExpectedRates());
    for (const std::string& p : problems)
      if (std::find(lineProblems.begin(), lineProblems.end(), p) == lineProblems.end())
        model.ReportError("line settings: " + p);
    lineProblems = std::move(problems);
  }

  Clock::duration ByteTime() const {
    if (!opt.pace || lineRate == 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(10'000'000) /
                                                       lineRate);
  }

  void Queue(uint8_t byte, Clock::time_point at) {
    Clock::time_point when = std::max(at, lastSend) + ByteTime();
    lastSend = when;
    output.push_back({byte, when});
    if (opt.adapterLatencyMs > 0) HoldInAdapter(when);
  }

  // The adapter's chip holds what the board sent (the byte just queued, which left the board at
  // when) and passes it all on in one packet when its timer runs out or its buffer is full.
  static constexpr std::size_t kAdapterBuffer = 62;
  Clock::time_point heldSince{};
  std::size_t held = 0;
  void HoldInAdapter(Clock::time_point when) {
    const Clock::time_point expiry = heldSince + std::chrono::milliseconds(opt.adapterLatencyMs);
    if (held == 0 || when >= expiry) {
      heldSince = when;
      held = 0;
    }
    ++held;
    Clock::time_point release = heldSince + std::chrono::milliseconds(opt.adapterLatencyMs);
    if (held == kAdapterBuffer) {
      release = when;
      held = 0;
    }
    const std::size_t packet = std::min(held == 0 ? kAdapterBuffer : held, output.size());
    for (std::size_t i = output.size() - packet; i < output.size(); ++i) output[i].at = release;
  }

  // A byte is handled as soon as it is read; its reply is still due one line time after the
  // byte's arrival. So a paced exchange costs one timed wake-up per reply, not two.
  void TakeInput() {
    while (!input.empty() && !hangUpPending) {
      const Timed in = input.front();
      input.pop_front();
      for (const Output& out : model.Receive(in.byte)) {
        if (out.hangUp) hangUpPending = true;
        else Queue(out.byte, in.at + out.delay);
      }
    }
  }

  void HangUp(std::unique_lock<std::mutex>& lock);
  bool WriteDue(Clock::time_point now);
  timespec* ReplyTimeout(timespec* timeout, bool writeBlocked) const;
  void WaitForLine(std::unique_lock<std::mutex>& lock, bool writeBlocked);
  void ReadHost();
  void Arrive(const uint8_t* bytes, std::size_t length);
  void Serve();
  bool Idle() const;

  // Over TCP.
  void HangUpNet(std::unique_lock<std::mutex>& lock);
  void MoveDueToClient(Clock::time_point now);
  bool FlushClient();
  void WaitForNet(std::unique_lock<std::mutex>& lock, bool writeBlocked);
  void ReadClient();
  void AcceptClients();
  void Disconnect();
  bool& Level(ControlLine l) { return l == ControlLine::Dtr ? dtr : rts; }
  void SetLine(ControlLine l, bool asserted, const char* why);
  void FollowLines();
  void PowerOn();
  void PowerOff();

  // What the client asks through the Com Port Control Option.
  void OnData(const uint8_t* bytes, std::size_t length) override;
  void OnLineSettings(const LineSettings& settings) override;
  void OnControlLine(ControlLine l, bool asserted) override { SetLine(l, asserted, ""); }
  void OnPurge(bool toClient, bool fromClient) override;

  template <typename Pred>
  bool WaitFor(std::chrono::milliseconds timeout, Pred pred) const {
    std::unique_lock<std::mutex> lock(mu);
    Clock::time_point deadline = Clock::now() + timeout;
    // The host's bytes reach the board without a notification, so the wait looks again now and
    // then besides waking at every change the board makes.
    while (!pred()) {
      Clock::time_point now = Clock::now();
      if (now >= deadline) return false;
      cv.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(20)));
    }
    return true;
  }
};

// The hang-up takes the place of one reply; the replies given before it (the echo of the last
// download byte ahead of the erase-all report) still go out first.
void SimBoard::Impl::HangUp(std::unique_lock<std::mutex>& lock) {
  for (const Timed& out : output) {
    if (::write(line.master, &out.byte, 1) != 1) break;
    sent.push_back(out.byte);
    Log(LogKind::ToHost, HexBytes(&out.byte, 1));
  }
  // Closing the line discards what the host has not read yet, so it is given a moment to take
  // those bytes: until the board's own slave shows none unread (they reach it a little after the
  // write), at most a second.
  const Clock::time_point begin = Clock::now();
  int unread = 0;
  while (!output.empty() && Clock::now() < begin + std::chrono::seconds(1) &&
         (Clock::now() < begin + std::chrono::milliseconds(10) ||
          (::ioctl(line.slave, FIONREAD, &unread) == 0 && unread > 0))) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.lock();
  }
  Log(LogKind::Event, "hanging up");
  announcement.Remove();
  line.Close();
  lineClosed = true;
  hangUpPending = false;
  input.clear();
  output.clear();
  cv.notify_all();
}

// Writes the replies that are due; true when the line takes no more for now.
bool SimBoard::Impl::WriteDue(Clock::time_point now) {
  if (net) {
    MoveDueToClient(now);
    return !FlushClient();
  }
  while (!output.empty() && output.front().at <= now) {
    const uint8_t byte = output.front().byte;
    const ssize_t n = ::write(line.master, &byte, 1);
    if (n == 1) {
      output.pop_front();
      sent.push_back(byte);
      Log(LogKind::ToHost, HexBytes(&byte, 1));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return true;
  }
  return false;
}

// How long the serving thread may wait for the line: until the next reply is due, or without end.
timespec* SimBoard::Impl::ReplyTimeout(timespec* timeout, bool writeBlocked) const {
  if (output.empty() || writeBlocked) return nullptr;
  // Paced bytes are due every 87 us at 115200 bps: the wait runs to the microsecond, since a
  // wait rounded to milliseconds would stretch every reply far beyond its line time.
  long long wait = std::clamp<long long>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(output.front().at - Clock::now()).count(),
      0, 60'000'000'000LL);
  // A timed wake-up from an idle processor comes tens of microseconds late, where a UART sends
  // on time; so a paced board spends the last stretch before a reply polling.
  if (opt.pace) wait = wait > kSpinNs ? wait - kSpinNs : 0;
  timeout->tv_sec = static_cast<time_t>(wait / 1'000'000'000LL);
  timeout->tv_nsec = static_cast<long>(wait % 1'000'000'000LL);
  return timeout;
}

// Waits for the host's bytes, a close of its port, Stop, or the next reply's time.
void SimBoard::Impl::WaitForLine(std::unique_lock<std::mutex>& lock, bool writeBlocked) {
  if (net) return WaitForNet(lock, writeBlocked);
  timespec timeout{};
  timespec* timeoutArg = ReplyTimeout(&timeout, writeBlocked);
  pollfd fds[3] = {{line.master, static_cast<short>(POLLIN | (writeBlocked ? POLLOUT : 0)), 0},
                   {wake, POLLIN, 0},
                   {line.closes, POLLIN, 0}};
  lock.unlock();
  const int ready = ::ppoll(fds, line.closes >= 0 ? 3 : 2, timeoutArg, nullptr);
  lock.lock();
  if (ready < 0) return;
  if (line.closes >= 0 && (fds[2].revents & POLLIN)) {
    char events[1024];
    while (::read(line.closes, events, sizeof events) > 0) {
    }
    // Exclusive use of a terminal ends with its last close, which never comes while the board
    // holds the slave open; so the board ends it when the host closes its port.
    ::ioctl(line.slave, TIOCNXCL);
    Log(LogKind::Event, "host closed the port");
  }
  if (fds[1].revents & POLLIN) {
    uint64_t v;
    ssize_t ignored = ::read(wake, &v, sizeof v);
    (void)ignored;
  }
  if (fds[0].revents & POLLIN) ReadHost();
}

void SimBoard::Impl::ReadHost() {
  uint8_t buf[4096];
  const ssize_t n = ::read(line.master, buf, sizeof buf);
  if (n <= 0) return;
  CheckLine();
  Arrive(buf, static_cast<std::size_t>(n));
}

// The host's bytes as read from the line, to be taken by the board.
void SimBoard::Impl::Arrive(const uint8_t* buf, std::size_t n) {
  Log(LogKind::FromHost, HexBytes(buf, n));
  const Clock::time_point t = Clock::now();
  const Clock::duration byteTime = ByteTime();
  for (std::size_t i = 0; i < n; ++i) {
    received.push_back(buf[i]);
    // A burst arrives one byte after another at the line rate.
    const Clock::time_point arrival = std::max(t, lastArrival) + byteTime;
    lastArrival = arrival;
    input.push_back({buf[i], arrival});
  }
}

void SimBoard::Impl::Serve() {
  // The kernel may defer a timed wake-up by the thread's timer slack (50 us by default), a large
  // share of a byte's time at the higher rates.
  (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::unique_lock<std::mutex> lock(mu);
  while (!stopRequested) {
    const Clock::time_point now = Clock::now();
    TakeInput();
    if (hangUpPending) {
      if (net) HangUpNet(lock);
      else HangUp(lock);
      return;
    }
    const bool writeBlocked = WriteDue(now);
    cv.notify_all();
    WaitForLine(lock, writeBlocked);
  }
}

bool SimBoard::Impl::Idle() const {
  if (lineClosed || !running) return true;
  if (!input.empty() || !output.empty()) return false;
  int pending = 0;
  if (net) {
    if (!server.Pending().empty()) return false;
    if (netLine.client >= 0 && ::ioctl(netLine.client, FIONREAD, &pending) == 0 && pending > 0)
      return false;
    return model.AtBoundary();
  }
  if (line.master >= 0 && ::ioctl(line.master, FIONREAD, &pending) == 0 && pending > 0) return false;
  return model.AtBoundary();
}

// --- over TCP ---

// The replies that are due go to the client's pending bytes; with no client they are lost, as
// a port server with no connection drops what the line brings.
void SimBoard::Impl::MoveDueToClient(Clock::time_point now) {
  while (!output.empty() && output.front().at <= now) {
    const uint8_t byte = output.front().byte;
    output.pop_front();
    if (netLine.client < 0) continue;
    sent.push_back(byte);
    Log(LogKind::ToHost, HexBytes(&byte, 1));
    server.SendData(&byte, 1);
  }
}

// Sends what is pending to the client; true when it all went. A broken connection ends it.
bool SimBoard::Impl::FlushClient() {
  std::vector<uint8_t>& pending = server.Pending();
  while (!pending.empty() && netLine.client >= 0) {
    const ssize_t n = ::send(netLine.client, pending.data(), pending.size(), MSG_NOSIGNAL);
    if (n > 0) {
      pending.erase(pending.begin(), pending.begin() + n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return false;
    } else {
      Disconnect();
    }
  }
  return true;
}

void SimBoard::Impl::WaitForNet(std::unique_lock<std::mutex>& lock, bool writeBlocked) {
  timespec timeout{};
  timespec* timeoutArg = ReplyTimeout(&timeout, writeBlocked);
  pollfd fds[3] = {{wake, POLLIN, 0},
                   {netLine.listener, POLLIN, 0},
                   {netLine.client, static_cast<short>(POLLIN | (writeBlocked ? POLLOUT : 0)), 0}};
  lock.unlock();
  const int ready = ::ppoll(fds, netLine.client >= 0 ? 3 : 2, timeoutArg, nullptr);
  lock.lock();
  if (ready < 0) return;
  if (fds[0].revents & POLLIN) {
    uint64_t v;
    ssize_t ignored = ::read(wake, &v, sizeof v);
    (void)ignored;
  }
  // The client first: a connection that ended is gone before the next one is judged.
  if (netLine.client >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) ReadClient();
  if (fds[1].revents & POLLIN) AcceptClients();
  FlushClient();
}

void SimBoard::Impl::ReadClient() {
  uint8_t buf[4096];
  ssize_t n;
  do {
    n = ::recv(netLine.client, buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    server.Feed(buf, static_cast<std::size_t>(n), *this);
    FlushClient();
  } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
    Disconnect();
  }
}

// One client at a time: another is let in and closed at once, so it learns without waiting out
// a timeout that the board is taken.
void SimBoard::Impl::AcceptClients() {
  for (int s = netLine.Accept(); s >= 0; s = netLine.Accept()) {
    if (netLine.client >= 0) ReadClient();
    if (netLine.client >= 0) {
      ::close(s);
      Log(LogKind::Event, "a second host was turned away");
      continue;
    }
    netLine.client = s;
    server.Restart();
    Log(LogKind::Event, "host connected");
  }
}

// The host went away: as a host closing its port. A port server closes the line then, which
// releases DTR and RTS.
void SimBoard::Impl::Disconnect() {
  if (netLine.client < 0) return;
  netLine.CloseClient();
  server.Restart();
  Log(LogKind::Event, "host closed the connection");
  for (ControlLine l : {ControlLine::Dtr, ControlLine::Rts})
    if (Level(l)) SetLine(l, false, " (connection closed)");
}

void SimBoard::Impl::SetLine(ControlLine l, bool asserted, const char* why) {
  const bool changed = Level(l) != asserted;
  Level(l) = asserted;
  lineChanges.push_back({Clock::now(), l, asserted, changed});
  Log(LogKind::Event, std::string(LineLabel(l)) + (asserted ? " on" : " off") + why);
  FollowLines();
  cv.notify_all();
}

// VPP follows its line. What the board was given before the change it has taken, and what was
// due to the host by then has gone.
void SimBoard::Impl::FollowLines() {
  if (!opt.lines || Level(opt.lines->vpp) == powered) return;
  TakeInput();
  MoveDueToClient(Clock::now());
  if (powered) PowerOff();
  else PowerOn();
}

void SimBoard::Impl::PowerOn() {
  const bool boot = opt.lines->BootWhen(Level(opt.lines->mode));
  input.clear();
  output.clear();
  held = 0;
  model.Reset(boot ? BoardState::Boot : BoardState::User);
  powered = true;
  Log(LogKind::Event, boot ? "VPP on, Mode Boot: the boot ROM waits for synchronisation"
                           : "VPP on, Mode User: the kernel runs");
}

// A reset: whatever ran is gone, the flash stays.
void SimBoard::Impl::PowerOff() {
  input.clear();
  output.clear();
  held = 0;
  model.Reset(BoardState::Boot);
  powered = false;
  Log(LogKind::Event, "VPP off: silent");
}

void SimBoard::Impl::OnData(const uint8_t* bytes, std::size_t length) {
  if (!powered) {
    received.insert(received.end(), bytes, bytes + length);
    Log(LogKind::FromHost, HexBytes(bytes, length) + " (dropped: VPP off)");
    return;
  }
  CheckLine();
  Arrive(bytes, length);
}

// The bytes before the change are taken at the line they came on.
void SimBoard::Impl::OnLineSettings(const LineSettings& settings) {
  TakeInput();
  lineRate = settings.outputRate;
  model.SetLineRate(lineRate);
}

void SimBoard::Impl::OnPurge(bool toClient, bool fromClient) {
  if (toClient) {
    output.clear();
    held = 0;
  }
  if (fromClient) input.clear();
}

// As HangUp on the pseudo-terminal: the replies given go out first, then the connection and the
// listener close, and no host can reach the board again.
void SimBoard::Impl::HangUpNet(std::unique_lock<std::mutex>& lock) {
  MoveDueToClient(Clock::time_point::max());
  const Clock::time_point begin = Clock::now();
  while (!FlushClient() && Clock::now() < begin + std::chrono::seconds(1)) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.lock();
  }
  Log(LogKind::Event, "hanging up");
  if (netLine.client >= 0) {
    // What the host sent and the board did not read would make the close a reset, which can
    // throw away the replies still on their way to the host.
    ::shutdown(netLine.client, SHUT_WR);
    uint8_t buf[4096];
    while (::recv(netLine.client, buf, sizeof buf, 0) > 0) {
    }
  }
  netLine.Close();
  lineClosed = true;
  hangUpPending = false;
  input.clear();
  output.clear();
  cv.notify_all();
}

SimBoard::SimBoard(BoardOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

SimBoard::~SimBoard() { Stop(); }

bool SimBoard::Start(std::string* error) {
  Impl& m = *impl_;
  if (m.running || m.lineClosed) {
    if (error) *error = "the board has already been started";
    return false;
  }
  m.net = m.opt.listen.has_value();
  if (m.net ? !m.netLine.Open(*m.opt.listen, error) : !m.line.Open(kInitialRate, error)) return false;
  m.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m.wake < 0) {
    if (error) *error = std::string("eventfd: ") + std::strerror(errno);
    m.line.Close();
    m.netLine.Close();
    return false;
  }
  // The port lists count every descriptor of the port as a user of it; the board's own is named
  // so that they pass it over.
  const std::string holder =
      "holder=" + std::to_string(::getpid()) + ":" + std::to_string(m.line.slave) + "\n";
  if (m.opt.announce && !m.net &&
      !m.announcement.Make(m.opt.announceName, m.line.path, Description(m.model) + holder, error)) {
    m.line.Close();
    ::close(m.wake);
    m.wake = -1;
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(m.mu);
    m.running = true;
    m.stopRequested = false;
  }
  m.thread = std::thread([&m] { m.Serve(); });
  return true;
}

void SimBoard::Stop() {
  Impl& m = *impl_;
  if (!m.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m.mu);
    m.stopRequested = true;
  }
  uint64_t one = 1;
  ssize_t ignored = ::write(m.wake, &one, sizeof one);
  (void)ignored;
  m.thread.join();
  std::lock_guard<std::mutex> lock(m.mu);
  m.announcement.Remove();
  m.line.Close();
  m.netLine.Close();
  ::close(m.wake);
  m.wake = -1;
  m.running = false;
  m.cv.notify_all();
}

const std::string& SimBoard::PortPath() const {
  return impl_->net ? impl_->netLine.url : impl_->line.path;
}
const std::string& SimBoard::AnnouncePath() const { return impl_->announcement.Path(); }
const BoardOptions& SimBoard::Options() const { return impl_->opt; }

void SimBoard::Reset(BoardState state) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->lineClosed) return;
  impl_->model.Reset(state);
  impl_->cv.notify_all();
}

std::vector<uint8_t> SimBoard::Flash() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->model.Flash();
}

bool SimBoard::SetFlash(const std::vector<uint8_t>& image, std::string* error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->model.SetFlash(image, error);
}

bool SimBoard::LoadFlash(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::size_t capacity = impl_->model.Flash().size();
  std::vector<uint8_t> image(capacity + 1);
  in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
  if (in.bad()) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  image.resize(static_cast<std::size_t>(in.gcount()));
  if (image.size() > capacity) {
    if (error) *error = path + " is larger than the flash (" + std::to_string(capacity) + " bytes)";
    return false;
  }
  return SetFlash(image, error);
}

bool SimBoard::SaveFlash(const std::string& path, std::string* error) const {
  std::vector<uint8_t> image = Flash();
  std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.flush();
    if (!out) {
      if (error) *error = "cannot write " + temp;
      std::remove(temp.c_str());
      return false;
    }
  }
  // Written aside and renamed, so a reader never sees half a flash.
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    if (error) *error = "cannot replace " + path + ": " + std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

std::vector<std::string> SimBoard::Errors() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->model.Errors();
}
std::vector<uint8_t> SimBoard::Received() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->received;
}
std::vector<uint8_t> SimBoard::Sent() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->sent;
}
std::vector<SimBoard::EraseCommand> SimBoard::EraseCommands() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->model.EraseCommands();
}
std::vector<SimBoard::Chunk> SimBoard::Chunks() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->model.Chunks();
}
int SimBoard::BootCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->model.BootCount();
}
std::vector<LineChange> SimBoard::LineChanges() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->lineChanges;
}
bool SimBoard::Powered() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->powered;
}
BoardState SimBoard::State() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->model.State();
}
bool SimBoard::Hung() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->model.Hung();
}
bool SimBoard::HungUp() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->lineClosed;
}

bool SimBoard::WaitUntilIdle(std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(timeout, [this] { return impl_->Idle(); });
}
bool SimBoard::WaitForState(BoardState state, std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(timeout, [this, state] { return impl_->model.State() == state; });
}
bool SimBoard::WaitForReceived(std::size_t count, std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(timeout, [this, count] { return impl_->received.size() >= count; });
}
bool SimBoard::WaitForHangUp(std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(timeout, [this] { return impl_->lineClosed; });
}
bool SimBoard::WaitForLineChanges(std::size_t count, std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(timeout, [this, count] { return impl_->lineChanges.size() >= count; });
}
bool SimBoard::WaitForPowered(bool powered, std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(timeout, [this, powered] { return impl_->powered == powered; });
}

}  // namespace quill::sim
