// The communication object against a hostile board: a boot, a program (with or without its
// pre-erase) or an erase runs against a board on a real pseudo-terminal whose every reply byte,
// silence and hang-up comes from the input, and which may have the user abort at any moment.
//
// Input: byte 0 chooses the operation (bits 0-1: boot, program, program with pre-erase, erase).
// Then one token per byte the host sends, taken in order as each byte arrives:
//   00..EF       reply with this byte
//   F0           no reply to this byte
//   F1 n         no reply to this byte and the n that follow
//   F2 n         echo this byte and the n that follow
//   F3 d b       reply b after d % 8 half read attempts
//   F4 b         reply b (any value)
//   F5 b c       reply b, then c
//   F6           hang up: the board's end of the line closes
//   F7           fall silent for good
//   F8           the user clicks Abort, then no reply to this byte
//   F9 b         echo this byte, then reply b
//   FA..FF       no reply to this byte
// When the tokens run out the board is silent. Read attempts last 10 ms instead of a second.
//
// Checked for every run: exactly one idle notification; the port closed; no abort left pending;
// and the result, its detail and the bytes counted as programmed are those a model of the
// protocol derives from what the host wrote and read (traced on the line, so the model needs no
// timing): a defined ErrorKind, or success only when every chunk was acknowledged. An aborted
// run ends with the user abort. The host's bytes on the line are the board's received bytes.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "app/wizard_state.h"
#include "link/comm_thread.h"
#include "kernels/kernel_store.h"
#include "link/results.h"
#include "resources/fpcode.h"
#include "fuzz/require.h"

namespace {

using namespace quill;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kAttempt{10};

enum Op { OpBoot, OpProgram, OpProgramErase, OpErase };

struct Record {
  uint32_t address;
  std::vector<uint8_t> data;
};

// In LB0 and LB1 of TX-C30; the last two records share LB1.
const std::vector<Record>& Records() {
  static const std::vector<Record> records = [] {
    std::vector<Record> r = {{0x1000, {}}, {0x2000, {}}, {0x2010, {}}};
    for (int i = 0; i < 16; ++i) r[0].data.push_back(static_cast<uint8_t>(i * 7 + 1));
    for (int i = 0; i < 16; ++i) r[1].data.push_back(static_cast<uint8_t>(i * 5 + 2));
    for (int i = 0; i < 8; ++i) r[2].data.push_back(static_cast<uint8_t>(0x11 + i));
    return r;
  }();
  return records;
}

std::string SRecordLine(const Record& r) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(r.data.size() + 3),
                                static_cast<uint8_t>(r.address >> 8),
                                static_cast<uint8_t>(r.address)};
  bytes.insert(bytes.end(), r.data.begin(), r.data.end());
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  bytes.push_back(static_cast<uint8_t>(~sum));
  std::string line = "S1";
  char hex[3];
  for (uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
  }
  return line;
}

// --- what the host did, as the line saw it ---

struct Event {
  TraceKind kind;
  std::vector<uint8_t> bytes;
};

class Recorder : public SerialTrace, public ProgressNotifier {
 public:
  explicit Recorder(CCommThread& comm) : comm_(comm) {}
  void Trace(TraceKind kind, const uint8_t* data, std::size_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({kind, std::vector<uint8_t>(data, data + length)});
  }
  void Notify(const Progress& progress) override {
    // The value told is the one published.
    const Progress published = comm_.GetProgressForTesting();
    REQUIRE(published.phase != PhaseIdle || progress.phase == PhaseIdle);
    if (progress.phase == PhaseIdle) {
      REQUIRE(progress.position == 0 && progress.range == 1 && published.position == 0 &&
              published.range == 1);
      idle_.fetch_add(1);
    }
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    idle_.store(0);
  }
  int Idle() const { return idle_.load(); }
  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  CCommThread& comm_;
  mutable std::mutex mutex_;
  std::vector<Event> events_;
  std::atomic<int> idle_{0};
};

// --- the model of the protocol, run over the trace ---

struct ModelOutcome {
  int32_t kind = ErrorNone;
  uint32_t detail = 0;
  bool programming = false;  // the programming step began (the counters were cleared)
  uint32_t programmed = 0;
  bool cut = false;  // the trace ended early, where an abort stopped the worker
};

class Model {
 public:
  Model(const std::vector<Event>& events, bool aborted) : events_(events), aborted_(aborted) {}

  // Thrown when the trace ends early: the worker was stopped by the abort there.
  struct Cut {};

  // The host must write exactly these bytes; false when the write failed.
  bool Write(const std::vector<uint8_t>& bytes) {
    const Event& e = Next();
    REQUIRE(e.kind == TraceKind::Written || e.kind == TraceKind::WriteFailed);
    REQUIRE(e.bytes == bytes);
    return e.kind == TraceKind::Written;
  }
  // A read of up to attempts attempts: the byte, or -1.
  int Read(int attempts) {
    for (int a = 0; a < attempts; ++a) {
      const Event& e = Next();
      if (e.kind == TraceKind::Read) {
        REQUIRE(e.bytes.size() == 1);
        return e.bytes[0];
      }
      if (e.kind == TraceKind::ReadFailed) return -1;
      REQUIRE(e.kind == TraceKind::ReadTimeout);
    }
    return -1;
  }
  bool AtEnd() const { return next_ == events_.size(); }

 private:
  const Event& Next() {
    if (next_ == events_.size()) {
      REQUIRE(aborted_);
      throw Cut{};
    }
    return events_[next_++];
  }
  const std::vector<Event>& events_;
  bool aborted_;
  std::size_t next_ = 0;
};

std::vector<uint8_t> Be32(uint32_t a, uint32_t b) {
  std::vector<uint8_t> out;
  for (uint32_t v : {a, b}) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return out;
}

bool ModelErase(Model& m, ModelOutcome& o) {
  auto fail = [&](int32_t kind, uint32_t detail) {
    o.kind = kind;
    o.detail = detail;
    return false;
  };
  if (!m.Write({0x57})) return fail(ErrorInternal, InternalError::EraseCommandWrite);
  if (!m.Write({0x02})) return fail(ErrorInternal, InternalError::EraseCountWrite);
  if (!m.Write({0, 0, 0x10, 0, 0, 0, 0x20, 0})) return fail(ErrorInternal, InternalError::EraseListWrite);
  int result = -1;
  for (int a = 0; a < 20 && result < 0; ++a) result = m.Read(1);
  if (result < 0) return fail(ErrorBlockEraseTimeout, 0);
  if (result == 0x07) return fail(ErrorBlockEraseFailed, 2);
  if (!m.Write(std::vector<uint8_t>(8, 0))) return fail(ErrorInternal, InternalError::EraseTrailerWrite);
  if (m.Read(1) < 0) return fail(ErrorBlockEraseTimeout, 0);
  return true;
}

void ModelProgram(Model& m, ModelOutcome& o) {
  o.programming = true;
  for (const Record& r : Records()) {
    auto fail = [&](int32_t kind, uint32_t detail) {
      o.kind = kind;
      o.detail = detail;
    };
    // Waits for one reply; false (with the outcome set) unless it is the wanted byte.
    auto expect = [&](int attempts, int wanted, uint32_t wrongSite) {
      const int reply = m.Read(attempts);
      if (reply < 0) {
        fail(ErrorFlashWriteTimeout, r.address);
        return false;
      }
      if (reply != wanted) {
        fail(ErrorInternal, wrongSite);
        return false;
      }
      return true;
    };
    unsigned sum = 0;
    for (uint8_t b : r.data) sum += b;
    const uint8_t checksum = static_cast<uint8_t>(0xFF - (sum & 0xFF));
    if (!m.Write({0x57, 0x00})) return fail(ErrorInternal, InternalError::ChunkCommandWrite);
    if (!expect(1, 0x06, InternalError::ChunkCommandReply)) return;
    if (!m.Write(Be32(r.address, static_cast<uint32_t>(r.data.size()))))
      return fail(ErrorInternal, InternalError::ChunkAddressWrite);
    if (!expect(1, 0x11, InternalError::ChunkAddressReply)) return;
    if (!m.Write({0x11})) return fail(ErrorInternal, InternalError::ChunkFirstAckWrite);
    if (!m.Write(r.data)) return fail(ErrorInternal, InternalError::ChunkDataWrite);
    if (!expect(5, 0x11, InternalError::ChunkDataReply)) return;
    if (!m.Write({0x11})) return fail(ErrorInternal, InternalError::ChunkSecondAckWrite);
    if (!m.Write({checksum})) return fail(ErrorInternal, InternalError::ChunkChecksumWrite);
    const int reply = m.Read(1);
    if (reply < 0) return fail(ErrorFlashWriteTimeout, r.address);
    if (reply == 0x07) return fail(ErrorFlashWriteChecksum, r.address);
    if (reply != 0x06) return fail(ErrorInternal, InternalError::ChunkFinalReply);
    o.programmed += static_cast<uint32_t>(r.data.size());
  }
}

void ModelBoot(Model& m, ModelOutcome& o, uint32_t kernelId) {
  auto fail = [&](int32_t kind, uint32_t detail) {
    o.kind = kind;
    o.detail = detail;
  };
  if (!m.Write(std::vector<uint8_t>(10, 0))) return fail(ErrorInternal, InternalError::SyncWrite);
  if (m.Read(5) < 0) return fail(ErrorBootSyncTimeout, 0);
  // The kernel the host sends: an installed one where the store has it, else the stand-in.
  const std::vector<uint8_t> image = FindKernel(kernelId).bytes;
  std::vector<uint8_t> stream = {0x55, static_cast<uint8_t>(image.size() >> 8),
                                 static_cast<uint8_t>(image.size())};
  stream.insert(stream.end(), image.begin(), image.end());
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (!m.Write({stream[i]})) return fail(ErrorInternal, InternalError::DownloadWrite);
    const int echo = m.Read(3);
    if (echo < 0) return fail(ErrorBootLoadTimeout, static_cast<uint32_t>(i));
    if (echo != (i == 0 ? 0xAA : stream[i])) return fail(ErrorBootLoadEcho, static_cast<uint32_t>(i));
  }
  int report = -1;
  for (int a = 0; a < 20 && report < 0; ++a) report = m.Read(1);
  if (report < 0) return fail(ErrorBootEraseTimeout, 0);
  if (report == 0xFF) return fail(ErrorBootEraseFailed, 0);
  ModelProgram(m, o);
}

ModelOutcome RunModel(Op op, const std::vector<Event>& events, bool aborted, uint32_t kernelId) {
  Model m(events, aborted);
  ModelOutcome o;
  try {
    switch (op) {
      case OpBoot: ModelBoot(m, o, kernelId); break;
      case OpProgram: ModelProgram(m, o); break;
      case OpProgramErase:
        o.programming = true;
        if (ModelErase(m, o)) ModelProgram(m, o);
        break;
      case OpErase: ModelErase(m, o); break;
    }
    // After the outcome the host does nothing more on the line.
    REQUIRE(m.AtEnd());
  } catch (const Model::Cut&) {
    o.cut = true;
  }
  return o;
}

// --- the board ---

struct Pending {
  uint8_t byte;
  Clock::time_point at;
};

std::vector<int> DescriptorsOn(const std::string& path) {
  std::vector<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  REQUIRE(dir != nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char target[256];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path)
      fds.push_back(std::atoi(entry->d_name));
  }
  ::closedir(dir);
  return fds;
}

struct Fixture {
  Fixture() : recorder(comm) {
    sheet.m_strMCUType = "TX-C30";
    sheet.m_nMCUMode = 0;
    sheet.m_nClockSpeed = 2;
    sheet.DeriveCatalogueRefs();
    sheet.m_nComBootRate = static_cast<int32_t>(
        sheet.m_pClockRange->bootRates[sheet.m_pClockRange->bootRateCount - 1]);
    sheet.m_nComUserRate = 9600;
    sheet.m_dwOffset = 0;
    sheet.m_dwLowest = sheet.Mode().flashLowest;
    sheet.m_dwHighest = sheet.Mode().flashHighest;
    sheet.m_astrSelectedBlocks = {"LB1", "LB0"};
    static char folder[] = "/tmp/quill-fuzz-board-XXXXXX";
    REQUIRE(::mkdtemp(folder) != nullptr);
    sheet.m_strFile = std::string(folder) + "/program.mot";
    static const std::string file = sheet.m_strFile;
    std::atexit([] {
      ::unlink(file.c_str());
      ::rmdir(folder);
    });
    std::ofstream out(sheet.m_strFile);
    out << "S00600004844521B\n";
    for (const Record& r : Records()) out << SRecordLine(r) << "\n";
    out << "S9030000FC\n";
    out.close();
    REQUIRE(out.good());
    comm.SetReadTimeoutForTesting(kAttempt);
    comm.SetTraceSink(&recorder);
  }
  WizardState sheet;
  CCommThread comm;
  Recorder recorder;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static Fixture* fixture = new Fixture;  // lives for the whole run, as the wizard's does
  if (size == 0) return 0;
  const Op op = static_cast<Op>(data[0] & 3);
  std::size_t next = 1;
  auto take = [&]() -> int { return next < size ? data[next++] : -1; };

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  REQUIRE(master >= 0);
  REQUIRE(::grantpt(master) == 0 && ::unlockpt(master) == 0);
  char name[64];
  REQUIRE(::ptsname_r(master, name, sizeof name) == 0);
  const std::string port = name;
  // The line is raw from the start, as a simulated board's is: the host puts back the settings
  // it found when it closes, and a line left echoing would hand the board's late replies back to
  // it as the host's.
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  REQUIRE(slave >= 0);
  termios raw{};
  REQUIRE(::tcgetattr(slave, &raw) == 0);
  ::cfmakeraw(&raw);
  REQUIRE(::tcsetattr(slave, TCSANOW, &raw) == 0);
  ::close(slave);

  WizardState& sheet = fixture->sheet;
  CCommThread& comm = fixture->comm;
  Recorder& recorder = fixture->recorder;
  sheet.m_strComPort = port;
  recorder.Clear();

  bool started = false;
  switch (op) {
    case OpBoot: started = comm.StartBoot(&recorder, sheet); break;
    case OpProgram: started = comm.StartProgram(&recorder, sheet, false); break;
    case OpProgramErase: started = comm.StartProgram(&recorder, sheet, true); break;
    case OpErase: started = comm.StartErase(&recorder, sheet); break;
  }
  REQUIRE(started);

  std::deque<Pending> out;
  int fd = master;
  bool silent = false, aborted = false;
  int skip = 0, echo = 0;
  std::vector<uint8_t> received;
  while (recorder.Idle() == 0) {
    const Clock::time_point now = Clock::now();
    while (fd >= 0 && !out.empty() && out.front().at <= now) {
      if (::write(fd, &out.front().byte, 1) != 1) break;
      out.pop_front();
    }
    int wait = 2;
    if (!out.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(out.front().at - now);
      wait = static_cast<int>(std::clamp<long long>(left.count(), 0, 2));
    }
    if (fd < 0) {
      ::poll(nullptr, 0, 1);
      continue;
    }
    pollfd pfd{fd, POLLIN, 0};
    ::poll(&pfd, 1, wait);
    uint8_t buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
      // Nothing yet, or the host's end is not open (before its open, after its close).
      if (n < 0 && errno != EAGAIN && errno != EIO) REQUIRE(false);
      if ((pfd.revents & POLLHUP) != 0) ::poll(nullptr, 0, 1);
      continue;
    }
    for (ssize_t k = 0; k < n && fd >= 0; ++k) {
      const uint8_t b = buf[k];
      received.push_back(b);
      const Clock::time_point at = Clock::now();
      if (silent) continue;
      if (skip > 0) {
        --skip;
        continue;
      }
      if (echo > 0) {
        --echo;
        out.push_back({b, at});
        continue;
      }
      const int token = take();
      if (token < 0) {
        silent = true;
        continue;
      }
      if (token <= 0xEF) {
        out.push_back({static_cast<uint8_t>(token), at});
        continue;
      }
      switch (token) {
        case 0xF1: skip = std::max(take(), 0); break;
        case 0xF2:
          out.push_back({b, at});
          echo = std::max(take(), 0);
          break;
        case 0xF3: {
          const int d = std::max(take(), 0) % 8;
          const int v = take();
          if (v >= 0) out.push_back({static_cast<uint8_t>(v), at + d * kAttempt / 2});
          break;
        }
        case 0xF4:
        case 0xF5: {
          const int v = take();
          if (v >= 0) out.push_back({static_cast<uint8_t>(v), at});
          if (token == 0xF5) {
            const int w = take();
            if (w >= 0) out.push_back({static_cast<uint8_t>(w), at});
          }
          break;
        }
        case 0xF6:
          // Replies already given go out first.
          for (const Pending& p : out) (void)!::write(fd, &p.byte, 1);
          out.clear();
          ::close(fd);
          fd = -1;
          break;
        case 0xF7: silent = true; break;
        case 0xF8:
          comm.Abort();
          aborted = true;
          break;
        case 0xF9: {
          out.push_back({b, at});
          const int v = take();
          if (v >= 0) out.push_back({static_cast<uint8_t>(v), at});
          break;
        }
        default: break;
      }
    }
  }

  // The run has ended: once, with the port closed and nothing left to abort the next one.
  REQUIRE(recorder.Idle() == 1);
  REQUIRE(DescriptorsOn(port).empty());
  REQUIRE(!comm.IsAbortPendingForTesting());
  const bool hungUp = fd < 0;
  if (!hungUp) {
    // Bytes the host wrote last may still wait in the line.
    uint8_t buf[256];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) received.insert(received.end(), buf, buf + n);
    ::close(fd);
  }

  const std::vector<Event> events = recorder.Events();
  std::vector<uint8_t> written;
  for (const Event& e : events) {
    if (e.kind == TraceKind::Written) written.insert(written.end(), e.bytes.begin(), e.bytes.end());
  }
  // The trace tells the truth: the board took what the host wrote, up to a hang-up.
  REQUIRE(received.size() <= written.size() &&
          std::equal(received.begin(), received.end(), written.begin()));
  REQUIRE(hungUp || received.size() == written.size());

  uint32_t detail = 0;
  const int32_t kind = comm.GetResult(detail);
  const ModelOutcome model = RunModel(op, events, aborted, sheet.m_pClockRange->kernelId);
  // Abort stores the user abort at once; an operation that fails on its own before it notices
  // the request stores its own failure over it. Never success.
  const bool asModel = kind == model.kind && detail == model.detail;
  const bool ok = aborted ? kind == ErrorUserAbort || (!model.cut && model.kind != ErrorNone && asModel)
                          : asModel;
  if (!ok) {
    std::fprintf(stderr, "result %d detail %u, the line says %d detail %u%s\n", kind, detail,
                 model.kind, model.detail, aborted ? " (aborted)" : "");
    std::abort();
  }
  if (!aborted && model.programming) REQUIRE(comm.GetOutcome().counts.programmed == model.programmed);
  // QUILL_FUZZ_VERBOSE=1 tells what each input did, to see what a seed reaches.
  static const bool verbose = std::getenv("QUILL_FUZZ_VERBOSE") != nullptr;
  if (verbose) {
    std::fprintf(stderr, "operation %d: result %d detail %u, %u bytes programmed%s\n", op, kind,
                 detail, comm.GetOutcome().counts.programmed, aborted ? ", aborted" : "");
  }
  return 0;
}
