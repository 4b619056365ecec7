// Four boards at once, again and again, in one process: quill-cli's boot, program and erase on
// four simulated boards, each board with a random fault or none, 50 runs (so 50 mixed operations
// per board). Every run must end with the status of the first failed board in port order, and at
// the end the process must hold the descriptors, threads and memory it held after the first few.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <random>

#include "app/wizard_state.h"
#include "cli/cli.h"
#include "link/results.h"
#include "tests/link/link_support.h"
#include "tests/sanitized.h"
#include "tests/reliability/process_resources.h"

namespace quill::test {
namespace {

using sim::FaultAction;
using sim::Step;

constexpr int kRuns = 50;
constexpr int kWarmUp = 5;
constexpr int kBoards = 4;

enum class Op { Boot, Program, Erase };

struct FaultKind {
  std::optional<sim::Fault> fault;
  int boot, program, erase;  // the board's exit status for each operation
};

const FaultKind kFaults[] = {
    {std::nullopt, 0, 0, 0},
    {sim::Fault{Step::BlockErase, FaultAction::Fail, 0}, 0, ErrorBlockEraseFailed, ErrorBlockEraseFailed},
    {sim::Fault{Step::ChunkChecksum, FaultAction::Fail, 1}, ErrorFlashWriteChecksum, ErrorFlashWriteChecksum, 0},
    {sim::Fault{Step::ChunkData, FaultAction::WrongByte, 0}, ErrorInternal, ErrorInternal, 0},
    {sim::Fault{Step::BootErase, FaultAction::Fail, 0}, ErrorBootEraseFailed, 0, 0},
};

// Standard output and error to /dev/null while it lives: the runs' texts are not the subject.
class Silence {
 public:
  Silence() {
    std::fflush(stdout);
    out_ = ::dup(STDOUT_FILENO);
    err_ = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  ~Silence() {
    ::dup2(out_, STDOUT_FILENO);
    ::dup2(err_, STDERR_FILENO);
    ::close(out_);
    ::close(err_);
  }

 private:
  int out_, err_;
};

TEST(CliSoak, FourBoardsFiftyMixedOperationsEachWithRandomFaults) {
  std::mt19937 random(16);
  std::vector<std::string> records;
  for (uint32_t a = 0; a < 0x200; a += 32) records.push_back(SRecord(3, a, Pattern(32, static_cast<uint8_t>(a))));
  const std::string file = WriteProgramFile(records);
  std::size_t fds = 0, threads = 0, rss = 0;
  for (int run = 0; run < kRuns; ++run) {
    if (run == kWarmUp) {
      fds = OpenDescriptors().size();
      threads = ThreadCount();
      rss = ResidentKb();
    }
    const Op op = static_cast<Op>(random() % 3);
    WizardState sheet = MakeSheet("TX-A10", 0, 8, "");
    std::vector<std::unique_ptr<sim::SimBoard>> boards;
    std::string ports;
    int expected = 0;
    for (int b = 0; b < kBoards; ++b) {
      const FaultKind& kind = kFaults[random() % std::size(kFaults)];
      sim::BoardOptions options = BoardFor(sheet, op == Op::Boot ? sim::BoardState::Boot : sim::BoardState::User);
      if (kind.fault) options.faults = {*kind.fault};
      boards.push_back(StartBoard(options));
      ports += (b ? "," : "") + boards.back()->PortPath();
      const int status = op == Op::Boot ? kind.boot : op == Op::Program ? kind.program : kind.erase;
      if (expected == 0) expected = status;
    }
    int status = -1;
    {
      Silence quiet;
      switch (op) {
        case Op::Boot: status = cli::RunBoot({"-p", ports, "-d", "TX-A10", "-c", "8", file}); break;
        case Op::Program: status = cli::RunProgram({"-p", ports, "-d", "TX-A10", file}); break;
        case Op::Erase: status = cli::RunErase({"-p", ports, "-d", "TX-A10", "--blocks", "all"}); break;
      }
    }
    ASSERT_EQ(status, expected) << "run " << run << ", operation " << static_cast<int>(op);
    for (auto& board : boards) EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
  }
  EXPECT_EQ(OpenDescriptors().size(), fds);
  EXPECT_EQ(ThreadCount(), threads);
  if (!kSanitized) {
    EXPECT_LT(ResidentKb(), rss + 2048) << "memory grew over " << kRuns - kWarmUp << " runs";
  }
}

}  // namespace
}  // namespace quill::test
