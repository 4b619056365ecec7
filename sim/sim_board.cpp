#include "sim/sim_board.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#include "device/catalogue.h"
#include "link/port_names.h"
#include "link/kernel_store.h"
#include "sim/line_settings.h"

namespace quill::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSyncBytes = 10;
constexpr int kMaxEraseBlocks = 16;
constexpr uint32_t kMaxChunk = 64;
constexpr uint8_t kStartByte = 0x55;
constexpr uint8_t kStartEcho = 0xAA;
constexpr uint8_t kCommand = 0x57;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x07;
constexpr uint8_t kGo = 0x11;
constexpr uint8_t kEraseFailedReport = 0xFF;
constexpr long long kSpinNs = 300'000;  // the stretch before a paced reply spent polling
constexpr uint8_t kDefaultWrongByte = 0x5A;
// Rate the port starts at before any host has configured it.
constexpr uint32_t kInitialRate = 9600;

std::atomic<int> g_announceCounter{0};

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
  return buf;
}

std::string HexAddr(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "H'%lX", static_cast<unsigned long>(v));
  return buf;
}

std::string HexBytes(const uint8_t* p, std::size_t n) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", p[i]);
    out += buf;
  }
  return out;
}

// Whether the host takes this reply as the step's success and carries on.
bool HostAccepts(Step step, uint8_t sent, uint8_t right) {
  switch (step) {
    case Step::Sync:
    case Step::BlockEraseFinal: return true;
    case Step::Echo: return sent == right;
    case Step::BootErase: return sent != kEraseFailedReport;
    case Step::BlockErase: return sent != kNak;
    case Step::ChunkCommand:
    case Step::ChunkChecksum: return sent == kAck;
    case Step::ChunkAddress:
    case Step::ChunkData: return sent == kGo;
  }
  return false;
}

// Makes every missing folder of path with mode 0700.
bool MakeFolders(const std::string& path, std::string* error) {
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    std::string part = path.substr(0, pos);
    if (part.empty()) continue;
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      if (error) *error = "cannot create " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

struct SimBoard::Impl {
  enum class Phase {
    // boot ROM
    SyncWait, StartWait, LengthHigh, LengthLow, Image,
    // kernel
    Idle, Count, EraseList, EraseTail, ChunkHeader, ChunkAck1, ChunkData, ChunkAck2, ChunkSum,
  };
  struct Incoming {
    uint8_t byte;
    Clock::time_point at;
  };
  struct Outgoing {
    uint8_t byte;
    Clock::time_point at;
  };
  // What to send for one reply, after the faults had their say.
  struct Reply {
    bool send = true;
    uint8_t byte = 0;
    Clock::duration delay{};
    bool accepted = true;  // the host takes it as success
    bool silent = false;
    bool hangUp = false;
  };

  explicit Impl(BoardOptions o) : opt(std::move(o)) {}

  BoardOptions opt;
  const DeviceType* device = nullptr;
  const DeviceMode* mode = nullptr;
  std::string portPath;
  std::string announcePath;

  int master = -1;
  int slave = -1;
  int wake = -1;
  int closes = -1;  // inotify: the host closed the port
  std::thread thread;
  bool stopRequested = false;  // guarded by mu
  bool running = false;

  mutable std::mutex mu;
  mutable std::condition_variable cv;

  std::vector<uint8_t> flash;
  std::vector<std::string> errors;
  std::vector<uint8_t> received;
  std::vector<uint8_t> sent;
  std::vector<EraseCommand> eraseCommands;
  std::vector<Chunk> chunks;
  int bootCount = 0;
  std::vector<bool> faultDone;
  long syncCount = 0;
  long bootEraseCount = 0;
  long eraseCount = 0;
  long chunkCount = 0;

  BoardState state = BoardState::Boot;
  Phase phase = Phase::SyncWait;
  bool hung = false;
  bool hungUp = false;
  bool hangUpPending = false;
  // The kernel keeps the rate it was synchronised at; 0 when it was not downloaded by this board.
  uint32_t kernelRate = 0;

  int zeros = 0;
  long streamIndex = 0;
  uint32_t imageLength = 0;
  std::vector<uint8_t> image;
  std::vector<uint8_t> field;  // bytes of the multi-byte field being received
  std::size_t fieldLength = 0;
  long current = 0;            // index of the erase or chunk command in progress
  uint32_t chunkAddress = 0;
  uint32_t chunkCount32 = 0;
  std::vector<uint8_t> chunkData;

  std::deque<Incoming> input;
  std::deque<Outgoing> output;
  Clock::time_point lastArrival{};
  Clock::time_point lastSend{};
  uint32_t lineRate = kInitialRate;
  std::vector<std::string> lineProblems;

  // --- recording (mu held) ---

  void Log(LogKind kind, std::string_view text) {
    if (opt.log) opt.log(kind, text);
  }
  void Error(const std::string& text) {
    errors.push_back(text);
    Log(LogKind::Error, text);
    cv.notify_all();
  }
  void Event(const std::string& text) { Log(LogKind::Event, text); }

  std::vector<uint32_t> ExpectedRates() const {
    if (opt.expectBaud != 0) return {opt.expectBaud};
    if (state == BoardState::User) {
      if (kernelRate != 0) return {kernelRate};
      std::vector<uint32_t> rates;
      for (int i = 0; i < GetUserDataRateCount(); ++i) rates.push_back(GetUserDataRate(i));
      return rates;
    }
    const ClockRange& range = mode->clockRanges[opt.clock];
    return std::vector<uint32_t>(range.bootRates, range.bootRates + range.bootRateCount);
  }

  void CheckLine() {
    LineSettings s;
    if (!ReadLineSettings(slave, &s)) return;
    lineRate = s.outputRate;
    std::vector<std::string> problems = LineProblems(s, ExpectedRates());
    for (const std::string& p : problems)
      if (std::find(lineProblems.begin(), lineProblems.end(), p) == lineProblems.end())
        Error("line settings: " + p);
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
  }

  Reply Decide(Step step, long index, uint8_t right) {
    Reply r;
    r.byte = right;
    for (std::size_t i = 0; i < opt.faults.size(); ++i) {
      const Fault& f = opt.faults[i];
      if (faultDone[i] || f.step != step || f.index != index) continue;
      faultDone[i] = true;
      Event("fault: " + std::string(StepName(step)) + " " + std::to_string(index));
      switch (f.action) {
        case FaultAction::Silent:
          r.send = false;
          r.silent = true;
          break;
        case FaultAction::HangUp:
          r.send = false;
          r.hangUp = true;
          break;
        case FaultAction::Delay:
          r.delay = std::chrono::milliseconds(f.delayMs);
          break;
        case FaultAction::Fail:
          if (step == Step::BootErase) { r.byte = kEraseFailedReport; break; }
          if (step == Step::BlockErase || step == Step::ChunkChecksum) { r.byte = kNak; break; }
          [[fallthrough]];
        case FaultAction::WrongByte:
          if (f.byte >= 0) r.byte = static_cast<uint8_t>(f.byte);
          else r.byte = step == Step::Echo ? static_cast<uint8_t>(~right) : kDefaultWrongByte;
          break;
      }
      break;
    }
    r.accepted = r.send && HostAccepts(step, r.byte, right);
    return r;
  }

  // Sends the reply (or does the fault in its place); true when the host carries on.
  bool Answer(const Reply& r, Clock::time_point at) {
    if (r.silent) {
      hung = true;
      Event("silent from now on");
      return false;
    }
    if (r.hangUp) {
      hangUpPending = true;
      return false;
    }
    Queue(r.byte, at + r.delay);
    if (!r.accepted) Drop();
    return r.accepted;
  }

  // After a reply the host rejects: it gives up, so the target starts over.
  void Drop() {
    if (state == BoardState::Boot) {
      phase = Phase::SyncWait;
      zeros = 0;
    } else {
      phase = Phase::Idle;
    }
  }

  void ResetTo(BoardState s) {
    state = s;
    phase = s == BoardState::Boot ? Phase::SyncWait : Phase::Idle;
    zeros = 0;
    hung = false;
    kernelRate = 0;
  }

  bool AtBoundary() const {
    if (hung || hungUp || !running) return true;
    return (phase == Phase::SyncWait && zeros == 0) || phase == Phase::Idle;
  }

  const FlashBlock* BlockStartingAt(uint32_t address) const {
    for (int i = 0; i < mode->blockCount; ++i)
      if (mode->blocks[i].start == address) return &mode->blocks[i];
    return nullptr;
  }

  void StartField(Phase next, std::size_t length) {
    phase = next;
    field.clear();
    fieldLength = length;
  }

  // --- the protocol (mu held) ---

  void Handle(uint8_t b, Clock::time_point at) {
    if (hung || hungUp) return;
    switch (phase) {
      case Phase::SyncWait:
        if (b != 0x00) {
          Error("boot ROM: byte " + Hex2(b) + " before synchronisation");
          zeros = 0;
          return;
        }
        if (++zeros < kSyncBytes) return;
        zeros = 0;
        {
          Reply r = Decide(Step::Sync, syncCount++, opt.syncReply);
          if (Answer(r, at)) {
            phase = Phase::StartWait;
            kernelRate = lineRate;
            Event("synchronised at " + std::to_string(lineRate) + " bps");
          }
        }
        return;
      case Phase::StartWait:
        if (b == 0x00) {
          // A host that starts over synchronises again.
          Error("boot ROM: synchronisation byte after the synchronisation reply");
          phase = Phase::SyncWait;
          zeros = 1;
          return;
        }
        if (b != kStartByte) {
          Error("boot ROM: byte " + Hex2(b) + " where the start byte 0x55 belongs");
          return;
        }
        streamIndex = 0;
        if (Answer(Decide(Step::Echo, streamIndex, kStartEcho), at)) phase = Phase::LengthHigh;
        return;
      case Phase::LengthHigh:
      case Phase::LengthLow:
      case Phase::Image:
        Download(b, at);
        return;
      case Phase::Idle:
        if (b != kCommand) {
          Error("kernel: byte " + Hex2(b) + " outside a command");
          return;
        }
        phase = Phase::Count;
        return;
      case Phase::Count:
        if (b == 0) {
          current = chunkCount++;
          if (Answer(Decide(Step::ChunkCommand, current, kAck), at)) StartField(Phase::ChunkHeader, 8);
          return;
        }
        if (b > kMaxEraseBlocks)
          Error("kernel: erase command for " + std::to_string(b) + " blocks, at most 16 exist");
        current = eraseCount++;
        StartField(Phase::EraseList, 4u * b);
        return;
      case Phase::EraseList:
        field.push_back(b);
        if (field.size() == fieldLength) EraseBlocks(at);
        return;
      case Phase::EraseTail:
        field.push_back(b);
        if (field.size() < fieldLength) return;
        if (std::any_of(field.begin(), field.end(), [](uint8_t v) { return v != 0; }))
          Error("kernel: erase command closed with " + HexBytes(field.data(), field.size()) +
                " instead of eight 0x00 bytes");
        phase = Phase::Idle;
        Answer(Decide(Step::BlockEraseFinal, current, kAck), at);
        return;
      case Phase::ChunkHeader:
        field.push_back(b);
        if (field.size() == fieldLength) ChunkHeader(at);
        return;
      case Phase::ChunkAck1:
      case Phase::ChunkAck2:
        if (b != kGo) {
          Error("kernel: " + Hex2(b) + " where the host's 0x11 acknowledgement belongs (chunk at " +
                HexAddr(chunkAddress) + ")");
          phase = Phase::Idle;
          return;
        }
        if (phase == Phase::ChunkAck2) {
          phase = Phase::ChunkSum;
        } else if (chunkCount32 == 0) {
          ChunkDataDone(at);
        } else {
          phase = Phase::ChunkData;
        }
        return;
      case Phase::ChunkData:
        chunkData.push_back(b);
        if (chunkData.size() == chunkCount32) ChunkDataDone(at);
        return;
      case Phase::ChunkSum:
        ChunkChecksum(b, at);
        return;
    }
  }

  void Download(uint8_t b, Clock::time_point at) {
    ++streamIndex;
    Reply r = Decide(Step::Echo, streamIndex, b);
    if (phase == Phase::LengthHigh) {
      imageLength = uint32_t{b} << 8;
      if (Answer(r, at)) phase = Phase::LengthLow;
      return;
    }
    if (phase == Phase::LengthLow) {
      imageLength |= b;
      image.clear();
      if (!Answer(r, at)) return;
      phase = Phase::Image;
      if (imageLength == 0) FinishDownload(at);
      return;
    }
    image.push_back(b);
    if (!Answer(r, at)) return;
    if (image.size() == imageLength) FinishDownload(at);
  }

  void FinishDownload(Clock::time_point at) {
    uint32_t kernelId = mode->clockRanges[opt.clock].kernelId;
    const KernelStoreDirs dirs =
        opt.kernelDir.empty() ? KernelStoreDirs::Default() : KernelStoreDirs{opt.kernelDir, {}};
    const std::vector<uint8_t> expected = FindKernel(kernelId, dirs).bytes;
    if (!std::equal(image.begin(), image.end(), expected.begin(), expected.end())) {
      std::string got = std::to_string(image.size()) + " bytes";
      if (image.size() >= 16 && std::memcmp(image.data(), "QKRN", 4) == 0)
        got += " of kernel " + std::to_string((image[8] << 8) | image[9]) + " (device " +
               std::to_string(image[4]) + ", mode " + std::to_string(image[5]) + ", clock range " +
               std::to_string(image[6]) + ")";
      Error("boot ROM: wrong kernel: received " + got + ", expected kernel " +
            std::to_string(kernelId) + " of " + std::to_string(expected.size()) + " bytes");
      // A wrong program runs off into the weeds: nothing answers any more.
      hung = true;
      return;
    }
    Event("kernel " + std::to_string(kernelId) + " running");
    Reply r = Decide(Step::BootErase, bootEraseCount++, opt.eraseReport);
    bool failed = r.byte == kEraseFailedReport && opt.eraseReport != kEraseFailedReport;
    if (!failed && !r.silent && !r.hangUp) std::fill(flash.begin(), flash.end(), 0xFF);
    state = BoardState::User;
    phase = Phase::Idle;
    if (Answer(r, at)) {
      ++bootCount;
      Event("flash erased, kernel waits for commands");
    } else if (!r.silent && !r.hangUp) {
      state = BoardState::Boot;
      kernelRate = 0;
      Drop();
    }
  }

  void EraseBlocks(Clock::time_point at) {
    EraseCommand cmd;
    bool valid = field.size() <= 4u * kMaxEraseBlocks;
    for (std::size_t i = 0; i + 4 <= field.size(); i += 4) {
      uint32_t a = (uint32_t{field[i]} << 24) | (uint32_t{field[i + 1]} << 16) |
                   (uint32_t{field[i + 2]} << 8) | field[i + 3];
      cmd.starts.push_back(a);
      if (!BlockStartingAt(a)) {
        Error("kernel: erase of " + HexAddr(a) + ", which is no block start");
        valid = false;
      }
    }
    Reply r = Decide(Step::BlockErase, current, valid ? kAck : kNak);
    if (r.accepted) {
      for (uint32_t a : cmd.starts)
        if (const FlashBlock* block = BlockStartingAt(a))
          std::fill(flash.begin() + (block->start - mode->flashLowest),
                    flash.begin() + (block->end - mode->flashLowest) + 1, 0xFF);
      cmd.erased = true;
      Event("erased " + std::to_string(cmd.starts.size()) + " block(s)");
    }
    eraseCommands.push_back(std::move(cmd));
    cv.notify_all();
    if (Answer(r, at)) StartField(Phase::EraseTail, 8);
  }

  void ChunkHeader(Clock::time_point at) {
    chunkAddress = (uint32_t{field[0]} << 24) | (uint32_t{field[1]} << 16) |
                   (uint32_t{field[2]} << 8) | field[3];
    chunkCount32 = (uint32_t{field[4]} << 24) | (uint32_t{field[5]} << 16) |
                   (uint32_t{field[6]} << 8) | field[7];
    chunkData.clear();
    uint8_t right = kGo;
    if (chunkCount32 == 0) Error("kernel: programming command with count 0 at " + HexAddr(chunkAddress));
    if (chunkCount32 > kMaxChunk)
      Error("kernel: chunk of " + std::to_string(chunkCount32) + " bytes at " +
            HexAddr(chunkAddress) + ", at most 64 are sent");
    uint64_t last = uint64_t{chunkAddress} + chunkCount32 - (chunkCount32 ? 1 : 0);
    if (chunkAddress < mode->flashLowest || last > mode->flashHighest) {
      Error("kernel: chunk of " + std::to_string(chunkCount32) + " bytes at " +
            HexAddr(chunkAddress) + " lies outside the flash");
      // Refused before any data is taken.
      right = kNak;
    }
    if (Answer(Decide(Step::ChunkAddress, current, right), at)) phase = Phase::ChunkAck1;
  }

  void ChunkDataDone(Clock::time_point at) {
    if (Answer(Decide(Step::ChunkData, current, kGo), at)) phase = Phase::ChunkAck2;
  }

  void ChunkChecksum(uint8_t b, Clock::time_point at) {
    unsigned sum = 0;
    for (uint8_t v : chunkData) sum += v;
    uint8_t expected = static_cast<uint8_t>(~sum);
    bool ok = b == expected;
    if (!ok)
      Error("kernel: checksum " + Hex2(b) + " for the chunk at " + HexAddr(chunkAddress) +
            ", the data sum to " + Hex2(expected));
    phase = Phase::Idle;
    Reply r = Decide(Step::ChunkChecksum, current, ok ? kAck : kNak);
    Chunk chunk{chunkAddress, chunkData, false};
    if (ok && r.accepted) {
      std::size_t base = chunkAddress - mode->flashLowest;
      bool reported = false;
      for (std::size_t i = 0; i < chunkData.size(); ++i) {
        uint8_t& cell = flash[base + i];
        if ((cell & chunkData[i]) != chunkData[i] && !reported) {
          // Flash programming only clears bits; setting one needs an erase first.
          Error("kernel: programming " + HexAddr(static_cast<uint32_t>(chunkAddress + i)) +
                " (" + Hex2(cell) + ") with " + Hex2(chunkData[i]) + " needs an erase first");
          reported = true;
        }
        cell &= chunkData[i];
      }
      chunk.programmed = true;
    }
    chunks.push_back(std::move(chunk));
    cv.notify_all();
    Answer(r, at);
  }

  // --- the serving thread ---

  void CloseLine() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    if (closes >= 0) ::close(closes);
    master = slave = closes = -1;
  }

  void RemoveAnnouncement() {
    if (announcePath.empty()) return;
    char target[256];
    ssize_t n = ::readlink(announcePath.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == portPath)
      ::unlink(announcePath.c_str());
  }

  void Serve() {
    // The kernel may defer a timed wake-up by the thread's timer slack (50 us by default), a
    // large share of a byte's time at the higher rates.
    (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_lock<std::mutex> lock(mu);
    bool writeBlocked = false;
    while (!stopRequested) {
      Clock::time_point now = Clock::now();
      // A byte is handled as soon as it is read; its reply is still due one line time after the
      // byte's arrival. So a paced exchange costs one timed wake-up per reply, not two.
      while (!input.empty() && !hangUpPending) {
        Incoming in = input.front();
        input.pop_front();
        Handle(in.byte, in.at);
      }
      if (hangUpPending) {
        // The hang-up takes the place of one reply; the replies given before it (the echo of
        // the last download byte ahead of the erase-all report) still go out first.
        for (const Outgoing& out : output) {
          if (::write(master, &out.byte, 1) != 1) break;
          sent.push_back(out.byte);
          Log(LogKind::ToHost, HexBytes(&out.byte, 1));
        }
        // Closing the line discards what the host has not read yet, so it is given a moment to
        // take those bytes: until the board's own slave shows none unread (they reach it a
        // little after the write), at most a second.
        const Clock::time_point begin = Clock::now();
        int unread = 0;
        while (!output.empty() && Clock::now() < begin + std::chrono::seconds(1) &&
               (Clock::now() < begin + std::chrono::milliseconds(10) ||
                (::ioctl(slave, FIONREAD, &unread) == 0 && unread > 0))) {
          lock.unlock();
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          lock.lock();
        }
        Event("hanging up");
        RemoveAnnouncement();
        CloseLine();
        hungUp = true;
        hangUpPending = false;
        input.clear();
        output.clear();
        cv.notify_all();
        return;
      }
      writeBlocked = false;
      while (!output.empty() && output.front().at <= now) {
        uint8_t byte = output.front().byte;
        ssize_t n = ::write(master, &byte, 1);
        if (n == 1) {
          output.pop_front();
          sent.push_back(byte);
          Log(LogKind::ToHost, HexBytes(&byte, 1));
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        writeBlocked = true;
        break;
      }
      cv.notify_all();

      // Paced bytes are due every 87 us at 115200 bps: the wait runs to the microsecond, since
      // a wait rounded to milliseconds would stretch every reply far beyond its line time.
      timespec timeout{};
      timespec* timeoutArg = nullptr;
      Clock::time_point next = Clock::time_point::max();
      if (!output.empty() && !writeBlocked) next = std::min(next, output.front().at);
      if (next != Clock::time_point::max()) {
        long long wait = std::clamp<long long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now()).count(), 0,
            60'000'000'000LL);
        // A timed wake-up from an idle processor comes tens of microseconds late, where a UART
        // sends on time; so a paced board spends the last stretch before a reply polling.
        if (opt.pace) wait = wait > kSpinNs ? wait - kSpinNs : 0;
        timeout.tv_sec = static_cast<time_t>(wait / 1'000'000'000LL);
        timeout.tv_nsec = static_cast<long>(wait % 1'000'000'000LL);
        timeoutArg = &timeout;
      }
      pollfd fds[3] = {{master, static_cast<short>(POLLIN | (writeBlocked ? POLLOUT : 0)), 0},
                       {wake, POLLIN, 0},
                       {closes, POLLIN, 0}};
      lock.unlock();
      int ready = ::ppoll(fds, closes >= 0 ? 3 : 2, timeoutArg, nullptr);
      lock.lock();
      if (ready < 0) continue;
      if (closes >= 0 && (fds[2].revents & POLLIN)) {
        char events[1024];
        while (::read(closes, events, sizeof events) > 0) {
        }
        // Exclusive use of a terminal ends with its last close, which never comes while the
        // board holds the slave open; so the board ends it when the host closes its port.
        ::ioctl(slave, TIOCNXCL);
        Event("host closed the port");
      }
      if (fds[1].revents & POLLIN) {
        uint64_t v;
        ssize_t ignored = ::read(wake, &v, sizeof v);
        (void)ignored;
      }
      if (fds[0].revents & POLLIN) {
        uint8_t buf[4096];
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) {
          CheckLine();
          Log(LogKind::FromHost, HexBytes(buf, static_cast<std::size_t>(n)));
          Clock::time_point t = Clock::now();
          Clock::duration byteTime = ByteTime();
          for (ssize_t i = 0; i < n; ++i) {
            received.push_back(buf[i]);
            // A burst arrives one byte after another at the line rate.
            Clock::time_point arrival = std::max(t, lastArrival) + byteTime;
            lastArrival = arrival;
            input.push_back({buf[i], arrival});
          }
        }
      }
    }
  }

  bool Idle() const {
    if (hungUp || !running) return true;
    if (!input.empty() || !output.empty()) return false;
    int pending = 0;
    if (master >= 0 && ::ioctl(master, FIONREAD, &pending) == 0 && pending > 0) return false;
    return AtBoundary();
  }

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

SimBoard::SimBoard(BoardOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  Impl& m = *impl_;
  m.opt.device = std::clamp(m.opt.device, 0, GetDeviceCount() - 1);
  m.device = GetDevice(m.opt.device);
  m.opt.mode = std::clamp(m.opt.mode, 0, m.device->modeCount - 1);
  m.mode = &m.device->modes[m.opt.mode];
  m.opt.clock = std::clamp(m.opt.clock, 0, m.mode->clockRangeCount - 1);
  m.flash.assign(m.mode->flashHighest - m.mode->flashLowest + 1, 0xFF);
  m.faultDone.assign(m.opt.faults.size(), false);
  m.ResetTo(m.opt.state);
}

SimBoard::~SimBoard() { Stop(); }

bool SimBoard::Start(std::string* error) {
  Impl& m = *impl_;
  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    m.CloseLine();
    if (m.wake >= 0) ::close(m.wake);
    m.wake = -1;
    return false;
  };
  if (m.running || m.hungUp) {
    if (error) *error = "the board has already been started";
    return false;
  }
  m.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m.master < 0) return fail("posix_openpt");
  if (::grantpt(m.master) != 0) return fail("grantpt");
  if (::unlockpt(m.master) != 0) return fail("unlockpt");
  char name[128];
  if (::ptsname_r(m.master, name, sizeof name) != 0) return fail("ptsname");
  m.portPath = name;
  // The board holds the slave open itself, so that the host closing its port never hangs up the
  // line, and reads the host's settings through it.
  m.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m.slave < 0) return fail("open " + m.portPath);
  if (!MakeRaw(m.slave, kInitialRate)) return fail("set up " + m.portPath);
  int flags = ::fcntl(m.master, F_GETFL);
  if (flags < 0 || ::fcntl(m.master, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");
  m.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m.wake < 0) return fail("eventfd");
  m.closes = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m.closes < 0 ||
      ::inotify_add_watch(m.closes, m.portPath.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
    return fail("inotify " + m.portPath);

  if (m.opt.announce) {
    std::string dir = PortAnnounceDirectory();
    std::string linkName = m.opt.announceName;
    if (linkName.empty())
      linkName = "sim-" + std::to_string(::getpid()) + "-" + std::to_string(g_announceCounter++);
    if (linkName.find('/') != std::string::npos || linkName == "." || linkName == "..") {
      errno = EINVAL;
      return fail("announcement name " + linkName);
    }
    std::string folderError;
    if (!MakeFolders(dir, &folderError)) {
      if (error) *error = folderError;
      m.CloseLine();
      ::close(m.wake);
      m.wake = -1;
      return false;
    }
    std::string path = dir + "/" + linkName;
    struct stat st;
    // A link left behind by a board that did not end cleanly is replaced; anything else is not.
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(path.c_str());
    if (::symlink(m.portPath.c_str(), path.c_str()) != 0) return fail("symlink " + path);
    m.announcePath = path;
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
  m.RemoveAnnouncement();
  m.CloseLine();
  ::close(m.wake);
  m.wake = -1;
  m.running = false;
  m.cv.notify_all();
}

const std::string& SimBoard::PortPath() const { return impl_->portPath; }
const std::string& SimBoard::AnnouncePath() const { return impl_->announcePath; }
const BoardOptions& SimBoard::Options() const { return impl_->opt; }

void SimBoard::Reset(BoardState state) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->hungUp) return;
  impl_->ResetTo(state);
  impl_->cv.notify_all();
}

std::vector<uint8_t> SimBoard::Flash() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->flash;
}

bool SimBoard::SetFlash(const std::vector<uint8_t>& image, std::string* error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (image.size() > impl_->flash.size()) {
    if (error)
      *error = "flash image of " + std::to_string(image.size()) + " bytes, the flash holds " +
               std::to_string(impl_->flash.size());
    return false;
  }
  std::copy(image.begin(), image.end(), impl_->flash.begin());
  std::fill(impl_->flash.begin() + static_cast<std::ptrdiff_t>(image.size()), impl_->flash.end(), 0xFF);
  return true;
}

bool SimBoard::LoadFlash(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::size_t capacity = impl_->flash.size();
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
  return impl_->errors;
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
  return impl_->eraseCommands;
}
std::vector<SimBoard::Chunk> SimBoard::Chunks() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->chunks;
}
int SimBoard::BootCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->bootCount;
}
BoardState SimBoard::State() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->state;
}
bool SimBoard::Hung() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->hung;
}
bool SimBoard::HungUp() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->hungUp;
}

bool SimBoard::WaitUntilIdle(std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(timeout, [this] { return impl_->Idle(); });
}
bool SimBoard::WaitForState(BoardState state, std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(timeout, [this, state] { return impl_->state == state; });
}
bool SimBoard::WaitForReceived(std::size_t count, std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(timeout, [this, count] { return impl_->received.size() >= count; });
}
bool SimBoard::WaitForHangUp(std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(timeout, [this] { return impl_->hungUp; });
}

}  // namespace quill::sim
