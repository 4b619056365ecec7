// Four boards at once, again and again, in one process: quill-cli's boot, program and erase on
// four simulated boards, each board with a random fault or none, 50 runs (so 50 mixed operations
// per board). Every run must end with the status of the first failed board in port order, and at
// the end the process must hold the descriptors, threads and memory it held after the first few.
// Then a programming station in this process: 40 boards plugged in and pulled out four at a time.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "app/wizard_state.h"
#include "cli/cli.h"
#include "link/results.h"
#include "records/record_sender.h"
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

// Waits, up to the deadline, for a condition the station's thread makes true.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::vector<nlohmann::json> LogRecords(const std::string& path) {
  std::vector<nlohmann::json> records;
  std::stringstream text(ReadAll(path));
  for (std::string line; std::getline(text, line);) records.push_back(nlohmann::json::parse(line));
  return records;
}

// 40 boards through one station, four plugged in at a time, each with a random fault or none:
// every board's record is in the log exactly once with the board's own status, the station ends
// with the status of the first failure in time, and between the waves the process holds what it
// held after the first.
TEST(StationSoak, FortyBoardsFourAtATimeEachRecordedOnce) {
  constexpr int kWaves = 10;
  std::string runtime = ::testing::TempDir() + "quill_station_soak_XXXXXX";
  ASSERT_NE(::mkdtemp(runtime.data()), nullptr);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  std::vector<std::string> records;
  for (uint32_t a = 0; a < 0x100; a += 32) records.push_back(SRecord(3, a, Pattern(32, static_cast<uint8_t>(a))));
  const std::string file = WriteProgramFile(records);
  const std::string job = runtime + "/soak.job", log = runtime + "/soak.jsonl";
  ASSERT_EQ(cli::RunProgram({"-d", "TX-A10", file, "--save-job", job}), 0);

  const std::size_t threadsBefore = ThreadCount();
  int status = -1;
  std::thread station([&] { status = cli::RunJob({job, "--watch", "--log", log, "-q"}); });
  // Ctrl-C ends the station, also when an assertion leaves the test early.
  struct Stop {
    std::thread& station;
    void Now() {
      if (!station.joinable()) return;
      ::kill(::getpid(), SIGINT);
      station.join();
    }
    ~Stop() { Now(); }
  } stop{station};
  std::mt19937 random(25);
  std::map<std::string, int> expected;  // port -> the board's status
  std::size_t fds = 0, rss = 0;
  const WizardState sheet = MakeSheet("TX-A10", 0, 8, "");
  for (int wave = 0; wave < kWaves; ++wave) {
    std::vector<std::unique_ptr<sim::SimBoard>> boards;
    for (int b = 0; b < kBoards; ++b) {
      const FaultKind& kind = kFaults[random() % std::size(kFaults)];
      sim::BoardOptions options = BoardFor(sheet, sim::BoardState::User);
      if (kind.fault) options.faults = {*kind.fault};
      options.announce = true;
      options.announceName = "soak-" + std::to_string(wave) + "-" + std::to_string(b);
      boards.push_back(StartBoard(options));
      expected[boards.back()->AnnouncePath()] = kind.program;
    }
    const std::size_t done = static_cast<std::size_t>(kBoards * (wave + 1));
    ASSERT_TRUE(WaitUntil([&] { return LogRecords(log).size() >= done; })) << "wave " << wave;
    for (auto& board : boards) EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
    boards.clear();
    // Every board of the wave let go: its worker thread ended.
    ASSERT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore + 1; }, 10s))
        << ThreadCount() << " threads after wave " << wave;
    if (wave == 1) {
      // The station may be between an opendir and its closedir while it looks at the ports the
      // wave left: the fewest descriptors over a short while is what it holds when idle.
      fds = OpenDescriptors().size();
      for (int look = 0; look < 20; ++look) {
        std::this_thread::sleep_for(10ms);
        fds = std::min(fds, OpenDescriptors().size());
      }
      rss = ResidentKb();
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors().size() == fds; }, 10s))
      << OpenDescriptors().size() << " descriptors, " << fds << " after the second wave";
  if (!kSanitized) {
    EXPECT_LT(ResidentKb(), rss + 2048) << "memory grew over " << kWaves - 2 << " waves";
  }
  stop.Now();

  const std::vector<nlohmann::json> logged = LogRecords(log);
  ASSERT_EQ(logged.size(), expected.size());
  std::map<std::string, int> seen;
  int firstFailure = 0;
  for (const nlohmann::json& r : logged) {
    const std::string port = r.at("port");
    ++seen[port];
    ASSERT_TRUE(expected.count(port)) << port;
    EXPECT_EQ(r.at("exit_status"), expected[port]) << port;
    if (firstFailure == 0) firstFailure = r.at("exit_status");
  }
  for (const auto& [port, count] : seen) EXPECT_EQ(count, 1) << port;
  EXPECT_EQ(status, firstFailure);
  ::unsetenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  std::filesystem::remove_all(runtime, ec);
}

// A thousand boards' records through a PostgreSQL store that goes away and comes back again and
// again while they arrive, as a station's sender gets them: at the end the store holds each of
// them exactly once and the spool is empty.
TEST(RecordsSoak, AThousandRecordsThroughAStoreThatComesAndGoes) {
  PgServer pg;
  if (!pg.Missing().empty()) GTEST_SKIP() << pg.Missing();
  std::string error;
  ASSERT_TRUE(pg.Start(&error)) << error;
  std::string data = ::testing::TempDir() + "quill_records_soak_XXXXXX";
  ASSERT_NE(::mkdtemp(data.data()), nullptr);
  const std::string oldData = std::getenv("XDG_DATA_HOME");
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  constexpr int kRecords = 1000;
  {
    records::RecordSender sender(pg.Url(), 10ms);
    for (int i = 0; i < kRecords; ++i) {
      // Away for a hundred records in every two hundred.
      if (i % 200 == 50) pg.Stop();
      if (i % 200 == 150) {
        ASSERT_TRUE(pg.Start(&error)) << error;
      }
      records::StoredRecord r;
      r.recordId = records::NewUuid();
      r.time = "2026-12-10T04:00:00.000Z";
      r.station = "soak";
      r.port = "board-" + std::to_string(i);
      r.result = "success";
      r.record = nlohmann::json{{"port", r.port}, {"n", i}}.dump();
      sender.Submit(std::move(r));
    }
    sender.Finish();
  }
  // Whatever the last try left waiting goes with a flush, as `records flush` sends it.
  records::Spool spool;
  ASSERT_TRUE(spool.Open(&error)) << error;
  long left = -1;
  EXPECT_TRUE(records::FlushSpool(spool, *records::MakeRecordStore(pg.Url()), pg.Url(), &error, &left)) << error;
  EXPECT_EQ(left, 0);
  std::vector<records::StoredRecord> rows;
  ASSERT_TRUE(records::MakeRecordStore(pg.Url())->Query({}, rows, &error)) << error;
  std::set<std::string> ports;
  for (const records::StoredRecord& row : rows) ports.insert(row.port);
  EXPECT_EQ(rows.size(), static_cast<std::size_t>(kRecords));
  EXPECT_EQ(ports.size(), static_cast<std::size_t>(kRecords));
  ::setenv("XDG_DATA_HOME", oldData.c_str(), 1);
  std::error_code ec;
  std::filesystem::remove_all(data, ec);
}

}  // namespace
}  // namespace quill::test
