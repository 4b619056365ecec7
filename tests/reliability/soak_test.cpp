// A long run in one process: 300 operations one after another on one communication object -
// boots, programs with and without pre-erase, erases - that succeed, meet a misbehaving board,
// lose the board, are aborted at a random moment, or cannot start. Every operation must end
// with one idle notification and a result that fits what happened, and at the end the process
// must hold the descriptors, threads and memory it held after the first few.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "app/wizard_state.h"
#include "link/results.h"
#include "tests/link/link_support.h"
#include "tests/sanitized.h"
#include "tests/reliability/process_resources.h"

namespace quill::test {
namespace {

using sim::FaultAction;
using sim::Step;

constexpr int kOperations = 300;
constexpr int kWarmUp = 30;

enum class Op { Boot, Program, ProgramErase, Erase };
enum class Scenario { Clean, Fault, Abort, Unplug, NoPort, NoFile };

// Counts notifications and lets the test thread wait for the n-th or the idle one.
struct Moments {
  std::mutex mutex;
  std::condition_variable cv;
  int count = 0;
  bool idle = false;
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    count = 0;
    idle = false;
  }
  void Seen(const ProgressRecord& r) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++count;
      if (r.phase == PhaseIdle) idle = true;
    }
    cv.notify_all();
  }
  void WaitFor(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, 30s, [&] { return count >= n || idle; });
  }
};

struct Snapshot {
  std::size_t descriptors, threads, residentKb;
};

Snapshot Take() { return {OpenDescriptors().size(), ThreadCount(), ResidentKb()}; }

TEST(Soak, ThreeHundredOperationsLeaveNothingBehind) {
  const unsigned seed = 20240607;
  std::mt19937 random(seed);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };

  WizardState sheet = MakeSheet("TX-C30", 0, 2, "");
  const std::string file = WriteProgramFile({SRecord(1, 0x1000, Pattern(16, 1)),
                                             SRecord(1, 0x2000, Pattern(16, 2)),
                                             SRecord(1, 0x2010, Pattern(8, 3))});
  const uint32_t fileBytes = 40;

  Moments moments;  // before the recorder, whose hook uses it until it is detached
  CCommThread comm;
  comm.SetReadTimeoutForTesting(50ms);  // short, yet long enough for a board on a loaded machine
  RecordingNotifier notifier(comm);
  notifier.hook = [&](const ProgressRecord& r) { moments.Seen(r); };

  const Step steps[] = {Step::Sync, Step::Echo, Step::BootErase, Step::BlockErase,
                        Step::BlockEraseFinal, Step::ChunkCommand, Step::ChunkAddress,
                        Step::ChunkData, Step::ChunkChecksum};
  const FaultAction actions[] = {FaultAction::Silent, FaultAction::WrongByte, FaultAction::Fail,
                                 FaultAction::Delay, FaultAction::HangUp};
  int tally[6] = {};
  Snapshot before{};

  for (int i = 0; i < kOperations; ++i) {
    // The warm-up ends and the run ends with a plain program run, after which the program
    // file is closed again, so the two snapshots compare like with like.
    const bool anchor = i == kWarmUp - 1 || i == kOperations - 1;
    const Op op = anchor ? Op::Program : static_cast<Op>(pick(4));
    Scenario scenario = Scenario::Clean;
    if (!anchor) {
      const int r = pick(100);
      scenario = r < 35   ? Scenario::Clean
                 : r < 65 ? Scenario::Fault
                 : r < 82 ? Scenario::Abort
                 : r < 92 ? Scenario::Unplug
                 : r < 96 ? Scenario::NoPort
                          : Scenario::NoFile;
    }
    if (scenario == Scenario::NoFile && op == Op::Erase) scenario = Scenario::NoPort;
    ++tally[static_cast<int>(scenario)];
    SCOPED_TRACE("operation " + std::to_string(i) + ", seed " + std::to_string(seed));

    sim::BoardOptions options =
        BoardFor(sheet, op == Op::Boot ? sim::BoardState::Boot : sim::BoardState::User);
    if (scenario == Scenario::Fault) {
      sim::Fault fault{steps[pick(9)], actions[pick(5)], pick(3)};
      if (fault.step == Step::Echo) fault.index = pick(899);
      fault.delayMs = 10 + pick(60);
      options.faults = {fault};
    }
    auto board = StartBoard(options);
    sheet.m_strComPort = scenario == Scenario::NoPort ? "/dev/quill-unplugged" : board->PortPath();
    sheet.m_strFile = scenario == Scenario::NoFile ? file + ".missing" : file;
    sheet.m_astrSelectedBlocks = {"LB0", "LB1"};
    notifier.Clear();
    moments.Reset();

    bool started = false;
    switch (op) {
      case Op::Boot: started = comm.StartBoot(&notifier, sheet); break;
      case Op::Program: started = comm.StartProgram(&notifier, sheet, false); break;
      case Op::ProgramErase: started = comm.StartProgram(&notifier, sheet, true); break;
      case Op::Erase: started = comm.StartErase(&notifier, sheet); break;
    }
    uint32_t detail = 0;
    if (scenario == Scenario::NoPort && op != Op::Boot) {
      // The worker's open fails: the operation's outcome, told once.
      ASSERT_TRUE(started);
      ASSERT_TRUE(notifier.WaitIdle());
      EXPECT_EQ(comm.GetResult(detail), ErrorInternal);
      EXPECT_EQ(detail, InternalError::PortOpen);
      EXPECT_EQ(notifier.Records().size(), 1u);
      continue;
    }
    if (scenario == Scenario::NoPort || scenario == Scenario::NoFile) {
      ASSERT_FALSE(started);
      if (scenario == Scenario::NoPort) {
        // No pseudo-terminal there, so no stand-in kernel may go: refused before the open.
        EXPECT_EQ(comm.GetResult(detail), ErrorNoKernel);
      } else {
        const std::string fileError = comm.GetOutcome().fileError;
        EXPECT_NE(fileError.find(sheet.m_strFile), std::string::npos) << fileError;
      }
      EXPECT_TRUE(notifier.Records().empty());
      continue;
    }
    ASSERT_TRUE(started);
    if (scenario == Scenario::Abort || scenario == Scenario::Unplug) {
      // A boot reports every download byte; the others only a handful of steps.
      moments.WaitFor(pick(op == Op::Boot ? 900 : 8));
      if (scenario == Scenario::Abort) {
        comm.Abort();
      } else {
        board->Stop();
      }
    }
    ASSERT_TRUE(notifier.WaitIdle(30s));
    EXPECT_EQ(notifier.IdleCount(), 1);
    EXPECT_FALSE(comm.IsAbortPendingForTesting());
    const int32_t kind = comm.GetResult(detail);
    if (scenario == Scenario::Clean) {
      EXPECT_EQ(kind, ErrorNone) << FormatErrorMessage(kind, detail);
    } else if (scenario == Scenario::Abort) {
      EXPECT_EQ(kind, ErrorUserAbort);
    } else {
      EXPECT_GE(kind, ErrorNone);
      EXPECT_LE(kind, ErrorFileChanged);
    }
    if (kind == ErrorNone && op != Op::Erase) {
      EXPECT_EQ(comm.GetOutcome().counts.programmed, fileBytes);
      int programmed = 0;
      board->WaitUntilIdle(5s);
      for (const sim::SimBoard::Chunk& chunk : board->Chunks()) programmed += chunk.programmed;
      EXPECT_EQ(programmed, 3) << "success reported for chunks the board did not program";
    }
    if (i == kWarmUp - 1) {
      board.reset();
      before = Take();
    }
  }
  const Snapshot after = Take();
  std::printf("clean %d, fault %d, abort %d, unplug %d, no port %d, no file %d\n", tally[0],
              tally[1], tally[2], tally[3], tally[4], tally[5]);
  std::printf("descriptors %zu -> %zu, threads %zu -> %zu, resident %zu kB -> %zu kB\n",
              before.descriptors, after.descriptors, before.threads, after.threads,
              before.residentKb, after.residentKb);
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.threads, before.threads);
  if (!kSanitized) {
    EXPECT_LT(after.residentKb, before.residentKb + 4096) << "memory grew over the run";
  }
}

}  // namespace
}  // namespace quill::test
