// Job files and the programming station against simulated boards on real pseudo-terminals: a job
// saved with --save-job and run later does what the command line did; a job whose files changed,
// went missing or that is no job is refused before any board hears a byte; a station programs
// boards announced and withdrawn while it runs, each once per plugging in.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "app/wizard_state.h"
#include "link/results.h"
#include "kernels/kernel_store.h"
#include "kernels/sha256.h"
#include "resources/fpcode.h"
#include "records/record_sender.h"
#include "records/record_store.h"
#include "resources/strings.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using sim::FaultAction;
using sim::Step;

const std::string kCli = std::string(QUILL_BINARY_DIR) + "/cli/quill-cli";

// Waits, up to the deadline, for a condition another process makes true.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::vector<json> LogRecords(const std::string& path) {
  std::vector<json> records;
  for (const std::string& line : Lines(ReadAll(path))) records.push_back(json::parse(line));
  return records;
}

// A runtime folder of the test's own, so the boards announced here are the only ones a station
// sees (and the test's boards reach no other station).
class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string base = ::testing::TempDir() + "quill_station_XXXXXX";
    ASSERT_NE(::mkdtemp(base.data()), nullptr);
    runtime_ = base;
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old) oldRuntime_ = old;
    ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    std::vector<std::string> lines;
    for (uint32_t a = 0; a < 0x400; a += 32) lines.push_back(SRecord(3, a, Pattern(32, static_cast<uint8_t>(a))));
    file_ = WriteProgramFile(lines);
    log_ = runtime_ + "/station.jsonl";
  }
  void TearDown() override {
    if (oldRuntime_) ::setenv("XDG_RUNTIME_DIR", oldRuntime_->c_str(), 1);
    else ::unsetenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    std::filesystem::remove_all(runtime_, ec);
  }

  std::unique_ptr<sim::SimBoard> Plug(const std::string& name, std::vector<sim::Fault> faults = {},
                                      sim::BoardState state = sim::BoardState::User,
                                      bool pace = false) {
    sim::BoardOptions options = BoardFor(MakeSheet("TX-A10", 0, 8, ""), state);
    options.pace = pace;
    options.announce = true;
    options.announceName = name;
    options.faults = std::move(faults);
    return StartBoard(options);
  }
  std::string Announced(const std::string& name) const { return runtime_ + "/quill/ports/" + name; }

  // Saves a job with the command line given; the test fails when it is not saved.
  std::string SaveJob(std::vector<std::string> args) {
    const std::string job = runtime_ + "/line.job";
    args.insert(args.end(), {"--save-job", job});
    CliProcess save(args);
    EXPECT_EQ(save.Wait(), 0) << save.Err();
    return job;
  }

  std::size_t Logged() const { return Lines(ReadAll(log_)).size(); }

  std::string runtime_, file_, log_;
  std::optional<std::string> oldRuntime_;
};

// The job holds what the command line said, files relative to its folder; run on one board it
// does what the command itself did on another: the same records but for port, time and job, and
// the same flash.
TEST_F(StationTest, SavedJobRunsAsTheCommandLineDid) {
  const std::string folder = runtime_ + "/jobs";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string binary = runtime_ + "/calibration.bin";
  { std::ofstream(binary, std::ios::binary) << std::string(16, '\x42'); }
  const std::vector<std::string> command = {"program", "-d", "tx-a10", "--blocks", "LB0,SB1",
                                            "--offset", "10", "--no-erase", "-b", "19200", file_,
                                            "--binary", "0x1F200", binary};
  const std::string job = folder + "/line.job";
  std::vector<std::string> save = command;
  save.insert(save.end(), {"--port", "/dev/quill-no-such-port", "--save-job", job});
  CliProcess saved(save);
  ASSERT_EQ(saved.Wait(), 0) << saved.Err();

  const json saved_job = json::parse(ReadAll(job));
  const std::string fileName = std::filesystem::path(file_).filename().string();
  const std::string fileFolder = std::filesystem::path(file_).parent_path().string();
  EXPECT_EQ(saved_job, json({{"quill_job", 1},
                             {"command", "program"},
                             {"device", "TX-A10"},
                             {"mode", nullptr},
                             {"clock", nullptr},
                             {"rate", 19200},
                             {"files", {{{"path", std::filesystem::path(file_).lexically_relative(folder).generic_string()},
                                         {"sha256", Sha256OfFile(file_)},
                                         {"binary_address", nullptr}},
                                        {{"path", "../calibration.bin"},
                                         {"sha256", Sha256OfFile(binary)},
                                         {"binary_address", 0x1F200}}}},
                             {"offset", 0x10},
                             {"lowest", 0},
                             {"highest", 0x1FFFF},
                             {"blocks", {"LB0", "SB1"}},
                             {"erase", false},
                             {"value", nullptr},
                             {"automatic", nullptr}}));
  EXPECT_TRUE(std::filesystem::is_directory(fileFolder));
  // Nothing but the job was left in its folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

  auto fromJob = Plug("job");
  auto direct = Plug("direct");
  CliProcess run({"run", job, "--port", fromJob->PortPath(), "--json"});
  std::vector<std::string> args = command;
  args.insert(args.end(), {"--port", direct->PortPath(), "--json"});
  CliProcess plain(args);
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  ASSERT_EQ(plain.Wait(), 0) << plain.Err();
  json a = json::parse(run.Out()), b = json::parse(plain.Out());
  EXPECT_EQ(a.at("job"), job);
  EXPECT_EQ(a.at("job_sha256"), Sha256OfFile(job));
  EXPECT_TRUE(b.at("job").is_null());
  for (const char* key : {"port", "time", "seconds", "job", "job_sha256", "file", "files"}) {
    a.erase(key);
    b.erase(key);
  }
  EXPECT_EQ(a, b);
  EXPECT_EQ(fromJob->Flash(), direct->Flash());
  EXPECT_EQ(fromJob->EraseCommands().size(), 0u);
  EXPECT_EQ(fromJob->Chunks().size(), direct->Chunks().size());
  EXPECT_FALSE(fromJob->Chunks().empty());
}

// An erase job has no files and no window; a boot job keeps its clock range's index.
TEST_F(StationTest, EraseAndBootJobsKeepWhatTheyNeed) {
  const json erase = json::parse(ReadAll(SaveJob({"erase", "-d", "TX-C31", "-m", "3", "--blocks", "SB0"})));
  EXPECT_EQ(erase.at("mode"), "Mode 3");
  EXPECT_EQ(erase.at("files"), json::array());
  for (const char* key : {"offset", "lowest", "highest", "clock"}) EXPECT_TRUE(erase.at(key).is_null()) << key;
  EXPECT_EQ(erase.at("blocks"), json({"SB0"}));
  EXPECT_EQ(erase.at("erase"), true);
  const json boot = json::parse(ReadAll(SaveJob({"boot", "-d", "TX-A10", "-c", "16MHz", file_})));
  EXPECT_EQ(boot.at("clock"), 8);
  EXPECT_EQ(boot.at("rate"), 9600);
  EXPECT_TRUE(boot.at("blocks").is_null());
}

// A job is refused before a port is opened: a file that changed (65, named), one that is gone
// (66), a job file that is no job of this version or holds a wrong field (64).
TEST_F(StationTest, JobRefusalsComeBeforeAnyPortIsOpened) {
  auto board = Plug("refusals");
  const std::string job = SaveJob({"program", "-d", "TX-A10", file_});
  const std::string original = ReadAll(job);
  auto edit = [&](const std::string& from, const std::string& to) {
    std::string text = original;
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    std::ofstream(job, std::ios::trunc) << text;
  };
  const std::string program = ReadAll(file_);
  const struct {
    const char* name;
    std::function<void()> damage;
    int status;
    std::string says;
  } cases[] = {
      {"changed file", [&] { std::ofstream(file_, std::ios::app) << "S9030000FC\n"; }, 65,
       file_ + " changed since the job"},
      {"missing file", [&] { std::filesystem::remove(file_); }, 66, file_ + " cannot be opened"},
      {"other version", [&] { edit("\"quill_job\": 1", "\"quill_job\": 2"); }, 64, "is not a job of this version"},
      {"not json", [&] { std::ofstream(job, std::ios::trunc) << "device=TX-A10\n"; }, 64, "is not a job file"},
      {"wrong rate", [&] { edit("\"rate\": 9600", "\"rate\": 1234"); }, 64, "--baud '1234' is not a user-mode rate"},
      {"rate as text", [&] { edit("\"rate\": 9600", "\"rate\": \"9600\""); }, 64, "\"rate\" must be a data rate"},
      {"unknown device", [&] { edit("\"TX-A10\"", "\"TX-Z99\""); }, 64, "the job '" + job + "': "},
      {"no files", [&] { edit("\"files\"", "\"filez\""); }, 64, "has no \"files\""},
      {"job gone", [&] { std::filesystem::remove(job); }, 66, "the job '" + job + "' cannot be opened"},
  };
  for (const auto& c : cases) {
    c.damage();
    CliProcess run({"run", job, "--port", board->PortPath(), "--log", log_});
    EXPECT_EQ(run.Wait(), c.status) << c.name << ": " << run.Err();
    EXPECT_TRUE(Contains(run.Err(), c.says)) << c.name << ": " << run.Err();
    std::ofstream(job, std::ios::trunc) << original;
    std::ofstream(file_, std::ios::trunc) << program;
  }
  EXPECT_TRUE(board->Received().empty());
  EXPECT_EQ(Logged(), 0u);
  CliProcess noJob({"run", "--port", board->PortPath()});
  EXPECT_EQ(noJob.Wait(), 64);
  // --save-job checks the files as check does: an invalid one writes no job.
  const std::string bad = WriteProgramFile({SRecord(3, 0x100, Pattern(4, 1), /*badChecksum=*/true)});
  CliProcess refused({"program", "-d", "TX-A10", bad, "--save-job", runtime_ + "/bad.job"});
  EXPECT_EQ(refused.Wait(), 65);
  EXPECT_FALSE(std::filesystem::exists(runtime_ + "/bad.job"));
  CliProcess unwritable({"program", "-d", "TX-A10", file_, "--save-job", "/nonexistent-quill-folder/a.job"});
  EXPECT_EQ(unwritable.Wait(), 73);
}

// A station's day: boards present at the start, one appearing later, one staying (programmed
// once), one pulled out and plugged in again (programmed again), one failing, one pulled out in
// the middle of its run; Ctrl-C ends it with the summary and the first failure's status.
TEST_F(StationTest, StationProgramsEachBoardOncePerPluggingIn) {
  const std::string job = SaveJob({"program", "-d", "TX-A10", file_});
  auto staying = Plug("staying");
  auto failing = Plug("failing", {{Step::ChunkChecksum, FaultAction::Fail, 3}});
  CliProcess station({"run", job, "--watch", "--log", log_, "--json"});
  ASSERT_TRUE(WaitUntil([&] { return Logged() == 2; })) << station.Err();

  auto later = Plug("later");
  ASSERT_TRUE(WaitUntil([&] { return Logged() == 3; })) << station.Err();
  later->Stop();
  later = Plug("later");  // the same port, back again
  ASSERT_TRUE(WaitUntil([&] { return Logged() == 4; })) << station.Err();

  auto pulled = Plug("pulled", {{Step::ChunkChecksum, FaultAction::Silent, 2}});
  ASSERT_TRUE(pulled->WaitForReceived(64, 10s));
  pulled->Stop();
  ASSERT_TRUE(WaitUntil([&] { return Logged() == 5; })) << station.Err();

  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(), ErrorFlashWriteChecksum) << "the first failure in time";
  std::map<std::string, std::vector<json>> byPort;
  for (const json& record : LogRecords(log_)) byPort[record.at("port")].push_back(record);
  ASSERT_EQ(byPort[Announced("staying")].size(), 1u);
  ASSERT_EQ(byPort[Announced("failing")].size(), 1u);
  ASSERT_EQ(byPort[Announced("later")].size(), 2u);
  ASSERT_EQ(byPort[Announced("pulled")].size(), 1u);
  EXPECT_EQ(byPort[Announced("staying")][0].at("result"), "success");
  EXPECT_EQ(byPort[Announced("failing")][0].at("exit_status"), ErrorFlashWriteChecksum);
  EXPECT_NE(byPort[Announced("pulled")][0].at("exit_status"), 0);
  for (const auto& [port, records] : byPort) {
    for (const json& r : records) {
      EXPECT_EQ(r.at("job"), job);
      EXPECT_EQ(r.at("job_sha256"), Sha256OfFile(job));
    }
  }
  // One erase and one pass of chunks per plugging in: the board that stayed was left alone.
  EXPECT_EQ(staying->EraseCommands().size(), 1u);
  EXPECT_EQ(later->EraseCommands().size(), 1u);
  // --json: the records on standard output, the texts for people on standard error.
  EXPECT_EQ(Lines(station.Out()).size(), 5u);
  const std::string err = station.Err();
  EXPECT_TRUE(Contains(err, Announced("staying") + "  success  H'400 bytes  ")) << err;
  EXPECT_TRUE(Contains(err, Announced("failing") + "  failed (7): flash_write_checksum_error  H'0 bytes")) << err;
  EXPECT_EQ(Lines(err).back(), "5 boards done, 3 succeeded, 2 failed") << err;
}

// Ctrl-C aborts the boards still running; each counts as failed, and the station ends with 1.
TEST_F(StationTest, InterruptAbortsTheRunningBoards) {
  const std::string job = SaveJob({"erase", "-d", "TX-A10", "--blocks", "LB0"});
  auto a = Plug("a", {{Step::BlockErase, FaultAction::Silent, 0}});
  auto b = Plug("b", {{Step::BlockErase, FaultAction::Silent, 0}});
  CliProcess station({"run", job, "--watch", "--log", log_});
  ASSERT_TRUE(a->WaitForReceived(6, 10s));
  ASSERT_TRUE(b->WaitForReceived(6, 10s));
  const Clock::time_point begin = Clock::now();
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(), ErrorUserAbort);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 2.5);
  const std::vector<json> records = LogRecords(log_);
  ASSERT_EQ(records.size(), 2u);
  for (const json& r : records) EXPECT_EQ(r.at("result"), "user_abort");
  EXPECT_EQ(Lines(station.Out()).back(), "2 boards done, 0 succeeded, 2 failed");
}

// A station in Automatic Mode on boards that serve themselves over the network and obey the lines:
// a board is there while its server takes connections. One present at the start and one that
// comes later are each programmed once with no one at the switches, VPP off afterwards; the
// first, replaced on its port by another, is programmed again; the one that stayed is not. The
// connection held meanwhile releases the lines, as a port server raises them on each connection.
TEST_F(StationTest, AutomaticStationProgramsNetworkBoardsHandsOff) {
  const std::string job = SaveJob({"program", "-d", "TX-A10", "--automatic", "--line-delay", "10", file_});
  const uint16_t ports[] = {FreeTcpPort(), FreeTcpPort()};
  const auto plug = [](uint16_t port) {
    sim::BoardOptions options = BoardFor(MakeSheet("TX-A10", 0, 8, ""), sim::BoardState::Boot);
    options.listen = sim::ListenAddress{"127.0.0.1", port};
    options.lines = LineMap{};
    return StartBoard(options);
  };
  auto first = plug(ports[0]);
  CliProcess station({"run", job, "--watch", "--log", log_, "-p", first->PortPath(), "-p",
                      "rfc2217://127.0.0.1:" + std::to_string(ports[1])});
  ASSERT_TRUE(WaitUntil([&] { return Logged() == 1; })) << station.Err();
  auto later = plug(ports[1]);
  ASSERT_TRUE(WaitUntil([&] { return Logged() == 2; })) << station.Err();
  const std::vector<uint8_t> programmed = first->Flash();
  // The run's 7 line settings (both released as the port opens, 3 to switch on, 2 to switch off),
  // then the held connection's release of both lines.
  EXPECT_TRUE(first->WaitForLineChanges(9, 5s)) << first->LineChanges().size();
  first->Stop();
  auto replaced = plug(ports[0]);
  ASSERT_TRUE(WaitUntil([&] { return Logged() == 3; })) << station.Err();
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(), 0) << station.Err();
  EXPECT_EQ(Lines(station.Out()).back(), "3 boards done, 3 succeeded, 0 failed");
  for (const json& r : LogRecords(log_)) EXPECT_EQ(r.at("result"), "success") << r.dump();
  for (const auto* board : {later.get(), replaced.get()}) {
    EXPECT_EQ(board->EraseCommands().size(), 1u);
    EXPECT_EQ(board->Flash(), programmed);
    EXPECT_FALSE(board->Powered());
    EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
  }
}

// A boot job with no installed kernel: a port that is no simulated board's is refused with 78,
// nothing sent, and the station goes on to program a simulated board that appears later, as its
// --port path names it. A kernel installed while the station runs is the one the next board gets,
// and its record names the kernel that board was sent.
TEST_F(StationTest, BootWithoutKernelRefusesRealPortsAndGoesOn) {
  const std::string data = runtime_ + "/data";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  struct Unset {
    ~Unset() { ::unsetenv("XDG_DATA_HOME"); }
  } unset;
  const uint32_t id = MakeSheet("TX-A10", 0, 8, "").m_pClockRange->kernelId;
  const std::string job = SaveJob({"boot", "-d", "TX-A10", "-c", "8", file_});
  CliProcess station({"run", job, "--watch", "--port", "/dev/null", "--port", Announced("boot"), "--log", log_});
  ASSERT_TRUE(WaitUntil([&] { return Logged() == 1; })) << station.Err();
  auto board = Plug("boot", {}, sim::BoardState::Boot);
  ASSERT_TRUE(WaitUntil([&] { return Logged() == 2; })) << station.Err();
  EXPECT_EQ(board->BootCount(), 1);
  board->Stop();
  const std::vector<uint8_t> installed = Pattern(700, 0x3C);
  const std::filesystem::path kernelFile = KernelFilePath(std::filesystem::path(data) / "quill/fpcode", id);
  std::filesystem::create_directories(kernelFile.parent_path());
  { std::ofstream(kernelFile, std::ios::binary).write(reinterpret_cast<const char*>(installed.data()), 700); }
  board = Plug("boot", {}, sim::BoardState::Boot);
  ASSERT_TRUE(WaitUntil([&] { return Logged() == 3; })) << station.Err();
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(), 78);
  const std::vector<json> records = LogRecords(log_);
  EXPECT_EQ(records[0].at("port"), "/dev/null");
  EXPECT_EQ(records[0].at("exit_status"), 78);
  EXPECT_TRUE(records[0].at("kernel_sha256").is_null()) << "nothing was sent";
  EXPECT_EQ(records[1].at("result"), "success");
  EXPECT_EQ(records[1].at("kernel_sha256"), Sha256Hex(FindResource("FPCODE", id)));
  EXPECT_EQ(records[1].at("kernel_source"), "built-in stand-in");
  EXPECT_EQ(records[2].at("result"), "success");
  EXPECT_EQ(records[2].at("kernel_sha256"), Sha256Hex(installed));
  EXPECT_EQ(records[2].at("kernel_source"), kernelFile.string());
  EXPECT_EQ(board->BootCount(), 1);
  EXPECT_TRUE(Contains(station.Out(), "3 boards done, 2 succeeded, 1 failed")) << station.Out();
}

// On a terminal the station keeps a table of its boards (port, state, percent, result) below the
// result lines and redraws it in place.
TEST_F(StationTest, OnATerminalATableIsRedrawnInPlace) {
  const std::string job = SaveJob({"program", "-d", "TX-A10", file_});
  int master = -1;
  winsize size{};
  size.ws_row = 50;
  size.ws_col = 250;  // the rows whole, however long the test's folder
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int out = ::open((runtime_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, STDOUT_FILENO);
    ::execl(kCli.c_str(), kCli.c_str(), "run", job.c_str(), "--watch", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::string screen;
  // Reads what the station draws until it shows part, or the deadline passes.
  auto readUntil = [&](const std::string& part) {
    const Clock::time_point deadline = Clock::now() + 20s;
    while (!Contains(screen, part) && Clock::now() < deadline) {
      pollfd fd{master, POLLIN, 0};
      if (::poll(&fd, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      screen.append(buffer, static_cast<std::size_t>(n));
    }
    return Contains(screen, part);
  };
  ASSERT_TRUE(readUntil("0 boards done, 0 succeeded, 0 failed; Ctrl-C ends the station")) << screen;
  // Paced, so each phase lasts long enough to be drawn however busy the machine is.
  auto board = Plug("table", {}, sim::BoardState::User, /*pace=*/true);
  EXPECT_TRUE(readUntil(Announced("table") + "  " + LoadString(108))) << screen;  // programming
  EXPECT_TRUE(readUntil("done: unplug the board")) << screen;
  EXPECT_TRUE(Contains(screen, "percent  result")) << screen;
  EXPECT_TRUE(Contains(screen, "A\r\033[J")) << "each redraw steps back over the table";
  ::kill(pid, SIGINT);
  EXPECT_TRUE(readUntil("\n"));
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(master);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::vector<std::string> out = Lines(ReadAll(runtime_ + "/out"));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].rfind(Announced("table") + "  success  H'400 bytes  ", 0), 0u) << out[0];
  EXPECT_EQ(out[1], "1 boards done, 1 succeeded, 0 failed");
}

// Selectors a station cannot watch are usage errors before anything is sent.
TEST_F(StationTest, StationSelectorsAreChecked) {
  const std::string job = SaveJob({"erase", "-d", "TX-A10", "--blocks", "LB0"});
  for (const char* selector : {"auto", "usb:12G4:1", "serial:"}) {
    CliProcess station({"run", job, "--watch", "--port", selector});
    EXPECT_EQ(station.Wait(), 64) << selector;
  }
}

// The record store: the spool in a data folder of the test's own.
class RecordsTest : public StationTest {
 protected:
  void SetUp() override {
    StationTest::SetUp();
    const char* old = std::getenv("XDG_DATA_HOME");
    oldData_ = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("XDG_DATA_HOME", (runtime_ + "/data").c_str(), 1);
  }
  void TearDown() override {
    if (oldData_) ::setenv("XDG_DATA_HOME", oldData_->c_str(), 1);
    else ::unsetenv("XDG_DATA_HOME");
    StationTest::TearDown();
  }
  static std::vector<records::StoredRecord> Stored(const std::string& url) {
    std::vector<records::StoredRecord> rows;
    std::string error;
    EXPECT_TRUE(records::MakeRecordStore(url)->Query({}, rows, &error)) << error;
    return rows;
  }
  static long Spooled(const std::string& url) {
    records::Spool spool;
    return spool.Open(nullptr) ? spool.Count(url) : -1;
  }

  // Two boards, one failing: each row holds the --log record plus station, value, value_name
  // and record_id, byte for byte once the four are taken out, and its columns agree with it.
  void ExpectStoreHoldsTheLog(const std::string& url) {
    auto good = Plug("good");
    auto bad = Plug("bad", {{Step::ChunkChecksum, FaultAction::Fail, 2}});
    CliProcess run({"program", "-d", "TX-A10", "-p", Announced("good"), "-p", Announced("bad"),
                    "--log", log_, "--records", url, "--station", "line-7", file_});
    EXPECT_EQ(run.Wait(), ErrorFlashWriteChecksum) << run.Err();
    std::map<std::string, std::string> logged;  // port -> line
    for (const std::string& line : Lines(ReadAll(log_))) logged[json::parse(line).at("port")] = line;
    const std::vector<records::StoredRecord> rows = Stored(url);
    ASSERT_EQ(rows.size(), 2u);
    for (const records::StoredRecord& row : rows) {
      json stored = json::parse(row.record);
      EXPECT_EQ(stored.at("station"), "line-7");
      EXPECT_EQ(row.station, "line-7");
      EXPECT_TRUE(stored.at("value").is_null() && stored.at("value_name").is_null());
      EXPECT_EQ(stored.at("record_id"), row.recordId);
      EXPECT_EQ(row.recordId.size(), 36u);
      EXPECT_EQ(row.time, stored.at("time"));
      EXPECT_EQ(row.port, stored.at("port"));
      EXPECT_EQ(row.result, stored.at("result"));
      EXPECT_EQ(row.exitStatus, stored.at("exit_status"));
      for (const char* field : {"station", "value", "value_name", "record_id"}) stored.erase(field);
      EXPECT_EQ(stored.dump(), logged[row.port]);
    }
    EXPECT_NE(rows[0].recordId, rows[1].recordId);
    // The same, read back by `records`: filtered by port, and as CSV.
    CliProcess one({"records", "--records", url, "--port", Announced("bad"), "--json"});
    EXPECT_EQ(one.Wait(), 0) << one.Err();
    ASSERT_EQ(Lines(one.Out()).size(), 1u) << one.Out();
    EXPECT_EQ(json::parse(one.Out()).at("exit_status"), ErrorFlashWriteChecksum);
    CliProcess csv({"records", "--records", url, "--csv", "--since", "2000-01-01"});
    EXPECT_EQ(csv.Wait(), 0) << csv.Err();
    EXPECT_EQ(Lines(csv.Out()).size(), 3u) << csv.Out();
    CliProcess none({"records", "--records", url, "--since", "2999-01-01T00:00+01:00"});
    EXPECT_EQ(none.Wait(), 0);
    EXPECT_EQ(Lines(none.Out()).size(), 1u) << "the header alone: " << none.Out();
    EXPECT_EQ(Spooled(url), 0);
  }

  std::optional<std::string> oldData_;
};

TEST_F(RecordsTest, SqliteHoldsTheLogRecordPlusTheStoreFields) {
  ExpectStoreHoldsTheLog("sqlite:" + runtime_ + "/records.sqlite");
}

TEST_F(RecordsTest, PostgreSqlHoldsTheLogRecordPlusTheStoreFields) {
  PgServer pg;
  if (!pg.Missing().empty()) GTEST_SKIP() << pg.Missing();
  std::string error;
  ASSERT_TRUE(pg.Start(&error)) << error;
  ExpectStoreHoldsTheLog(pg.Url());
}

// The store goes away in the middle of a station and comes back: every record ends up in the
// store exactly once; the board that came while it was away got no value (69, nothing sent), the
// one after it gets the counter's next value over a new connection.
TEST_F(RecordsTest, StoreStoppedMidStationGetsEveryRecordOnce) {
  PgServer pg;
  if (!pg.Missing().empty()) GTEST_SKIP() << pg.Missing();
  std::string error;
  ASSERT_TRUE(pg.Start(&error)) << error;
  const std::string job = SaveJob({"program", "-d", "TX-A10", file_, "--value", "0x3FFC:u32le",
                                   "--value-from", "1"});
  CliProcess station({"run", job, "--watch", "--log", log_, "--records", pg.Url()});
  auto a = Plug("a");
  ASSERT_TRUE(WaitUntil([&] { return Stored(pg.Url()).size() == 1; })) << station.Err();
  pg.Stop();
  auto b = Plug("b");
  ASSERT_TRUE(WaitUntil([&] { return Logged() == 2 && Spooled(pg.Url()) == 1; })) << station.Err();
  ASSERT_TRUE(pg.Start(&error)) << error;
  auto c = Plug("c");
  ASSERT_TRUE(WaitUntil([&] { return Stored(pg.Url()).size() == 3; })) << station.Err();
  // Restarted between two boards: the connections the station holds are stale.
  pg.Stop();
  ASSERT_TRUE(pg.Start(&error)) << error;
  auto d = Plug("d");
  ASSERT_TRUE(WaitUntil([&] { return Stored(pg.Url()).size() == 4; })) << station.Err();
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(), 69) << station.Err();
  std::set<std::string> ports, ids;
  std::map<std::string, std::string> values;
  for (const records::StoredRecord& row : Stored(pg.Url())) {
    ports.insert(row.port);
    ids.insert(row.recordId);
    values[row.port] = row.value;
  }
  EXPECT_EQ(values, (std::map<std::string, std::string>{{Announced("a"), "1"}, {Announced("b"), ""},
                                                       {Announced("c"), "2"}, {Announced("d"), "3"}}));
  EXPECT_TRUE(b->EraseCommands().empty());
  EXPECT_EQ(ports.size(), 4u);
  EXPECT_EQ(ids.size(), 4u);
  EXPECT_EQ(Spooled(pg.Url()), 0);
  const std::string err = station.Err();
  EXPECT_FALSE(Contains(err, "NOTICE")) << "the server's notices stay out of the output";
  const std::size_t said = err.find("the record store");
  ASSERT_NE(said, std::string::npos) << err;
  EXPECT_EQ(err.find("the record store", said + 1), std::string::npos) << "said once: " << err;
}

// A store that cannot be reached does not stop the run; its record waits in the spool until
// `records flush` finds the store: 69 before, 0 after, and the record is there once.
TEST_F(RecordsTest, SpoolKeepsWhatTheStoreDidNotTakeUntilFlushed) {
  const std::string url = "sqlite:" + runtime_ + "/later/records.sqlite";
  auto board = Plug("board");
  CliProcess run({"program", "-d", "TX-A10", "-p", Announced("board"), "--records", url, file_});
  EXPECT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_TRUE(Contains(run.Err(), "1 record waits in the spool")) << run.Err();
  EXPECT_EQ(Spooled(url), 1);
  struct stat spool;
  ASSERT_EQ(::stat((runtime_ + "/data/quill/spool.sqlite").c_str(), &spool), 0);
  EXPECT_EQ(spool.st_mode & 0777, 0600u) << "it names the stores, passwords and all";
  CliProcess early({"records", "flush", "--records", url});
  EXPECT_EQ(early.Wait(), 69) << early.Err();
  ASSERT_EQ(::mkdir((runtime_ + "/later").c_str(), 0700), 0);
  for (int i = 0; i < 2; ++i) {
    CliProcess flush({"records", "flush"});  // every store the spool holds records for
    EXPECT_EQ(flush.Wait(), 0) << flush.Err();
  }
  EXPECT_EQ(Spooled(url), 0);
  ASSERT_EQ(Stored(url).size(), 1u);
  EXPECT_EQ(Stored(url)[0].port, Announced("board"));
}

// Each format's bytes, exactly, in the board's flash after the file's data; the record names the
// value as the counter or the list gave it.
TEST_F(RecordsTest, EachValueFormatIsProgrammedByteExact) {
  struct Case {
    const char* format;
    const char* from;  // or, for mac, the list's one line
    std::vector<uint8_t> bytes;
    const char* value;
  };
  const Case cases[] = {
      {"u16le", "0x1234", {0x34, 0x12}, "4660"},
      {"u16be", "4660", {0x12, 0x34}, "4660"},
      {"u32le", "0x12345678", {0x78, 0x56, 0x34, 0x12}, "305419896"},
      {"u32be", "0x12345678", {0x12, 0x34, 0x56, 0x78}, "305419896"},
      {"u64le", "0x0102030405060708", {8, 7, 6, 5, 4, 3, 2, 1}, "72623859790382856"},
      {"u64be", "0x0102030405060708", {1, 2, 3, 4, 5, 6, 7, 8}, "72623859790382856"},
      {"dec:8", "4711", {'0', '0', '0', '0', '4', '7', '1', '1'}, "4711"},
      {"mac", "00:1A:2B:3C:4D:5E", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "00:1A:2B:3C:4D:5E"},
  };
  auto board = Plug("board");
  const std::string list = runtime_ + "/macs.txt";
  for (const Case& c : cases) {
    std::vector<std::string> args = {"program", "-d", "TX-A10", "-p", Announced("board"), "--json",
                                     "--value", std::string("0x3FF0:") + c.format, file_};
    if (std::string(c.format) == "mac") {
      { std::ofstream(list) << "\n" << c.from << "\r\n"; }
      args.insert(args.end(), {"--value-list", list});
    } else {
      args.insert(args.end(), {"--value-from", c.from});
    }
    CliProcess run(args);
    ASSERT_EQ(run.Wait(), 0) << c.format << run.Err();
    const std::vector<uint8_t> flash = board->Flash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x3FF0, flash.begin() + 0x3FF0 + c.bytes.size()), c.bytes)
        << c.format;
    EXPECT_EQ(flash[0x3FF0 + c.bytes.size()], 0xFF) << c.format << ": nothing past the value";
    const json record = json::parse(run.Out());
    EXPECT_EQ(record.at("value"), c.value) << c.format;
    EXPECT_EQ(record.at("value_name"), std::string("H'3FF0:") + c.format);
  }
  // A boot erases the whole flash: the value may go into a block the file does not touch.
  auto booted = Plug("booted", {}, sim::BoardState::Boot);
  CliProcess boot({"boot", "-d", "TX-A10", "-c", "8", "-p", Announced("booted"), "--value",
                   "0x1FFF0:u16be", "--value-from", "0xBEEF", file_});
  ASSERT_EQ(boot.Wait(), 0) << boot.Err();
  EXPECT_EQ(booted->Flash()[0x1FFF0], 0xBE);
  EXPECT_EQ(booted->Flash()[0x1FFF1], 0xEF);
}

// Two processes and a station take values from one counter in PostgreSQL at once: every board
// gets its own, none is skipped, and the saved job keeps the value's settings.
TEST_F(RecordsTest, ValuesFromOneStoreAreDistinctAcrossProcessesAndAStation) {
  PgServer pg;
  if (!pg.Missing().empty()) GTEST_SKIP() << pg.Missing();
  std::string error;
  ASSERT_TRUE(pg.Start(&error)) << error;
  const std::vector<std::string> value = {"--value", "0x3FFC:u32le", "--value-from", "1000",
                                          "--value-name", "serial"};
  std::vector<std::string> save = {"program", "-d", "TX-A10", file_};
  save.insert(save.end(), value.begin(), value.end());
  const std::string job = SaveJob(save);
  const json saved = json::parse(ReadAll(job));
  EXPECT_EQ(saved.at("value"), json::parse(R"({"address": 16380, "format": "u32le", "from": 1000,
                                                "step": 1, "list": null, "name": "serial"})"));
  std::vector<std::unique_ptr<sim::SimBoard>> boards;
  for (int i = 0; i < 8; ++i) boards.push_back(Plug("v" + std::to_string(i)));
  CliProcess station({"run", job, "--watch", "--records", pg.Url(), "-p", Announced("v6"), "-p",
                      Announced("v7")});
  std::vector<std::unique_ptr<CliProcess>> runs;
  for (int p = 0; p < 2; ++p) {
    std::vector<std::string> args = {"program", "-d", "TX-A10", "--records", pg.Url(), file_};
    args.insert(args.end(), value.begin(), value.end());
    for (int i = 0; i < 3; ++i) args.insert(args.end(), {"-p", Announced("v" + std::to_string(p * 3 + i))});
    runs.push_back(std::make_unique<CliProcess>(args));
  }
  for (auto& run : runs) EXPECT_EQ(run->Wait(), 0) << run->Err();
  ASSERT_TRUE(WaitUntil([&] { return Stored(pg.Url()).size() == 8; })) << station.Err();
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(), 0) << station.Err();
  std::set<uint32_t> values;
  for (const records::StoredRecord& row : Stored(pg.Url())) {
    EXPECT_EQ(row.valueName, "serial");
    const std::size_t board = static_cast<std::size_t>(row.port.back() - '0');
    const std::vector<uint8_t> flash = boards.at(board)->Flash();
    const uint32_t inFlash = flash[0x3FFC] | flash[0x3FFD] << 8 | flash[0x3FFE] << 16 | uint32_t{flash[0x3FFF]} << 24;
    EXPECT_EQ(std::to_string(inFlash), row.value) << row.port;
    values.insert(inFlash);
  }
  EXPECT_EQ(values.size(), 8u);
  EXPECT_EQ(*values.begin(), 1000u);
  EXPECT_EQ(*values.rbegin(), 1007u);
}

// A value that cannot be taken or placed refuses the board before its first byte: a used-up list
// (69, the others go on), a store that cannot be reached (69), the file's data where the value
// goes, the window and the blocks (65). And a process killed after taking a value does not give
// it out again.
TEST_F(RecordsTest, ValueRefusalsSendNothing) {
  const std::string list = runtime_ + "/list.txt";
  { std::ofstream(list) << "7\n8\n"; }
  std::vector<std::unique_ptr<sim::SimBoard>> boards;
  for (int i = 0; i < 3; ++i) boards.push_back(Plug("l" + std::to_string(i)));
  CliProcess three({"program", "-d", "TX-A10", "-p", Announced("l0"), "-p", Announced("l1"), "-p",
                    Announced("l2"), "--log", log_, "--value", "0x3FFE:u16be", "--value-list", list, file_});
  EXPECT_EQ(three.Wait(), 69);
  std::multiset<std::string> taken;
  for (const json& record : LogRecords(log_)) {
    if (record.at("exit_status") == 69) {
      EXPECT_TRUE(Contains(record.at("message"), "is used up")) << record;
      EXPECT_EQ(record.at("result"), "value_unavailable");
      EXPECT_TRUE(record.at("value").is_null());
      for (const auto& board : boards) {
        if (board->AnnouncePath() == record.at("port")) {
          EXPECT_TRUE(board->EraseCommands().empty()) << "nothing sent to the refused board";
        }
      }
    } else {
      taken.insert(record.at("value").get<std::string>());
    }
  }
  EXPECT_EQ(taken, (std::multiset<std::string>{"7", "8"}));

  struct Refusal {
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const std::string unreachable = "sqlite:" + runtime_ + "/missing/records.sqlite";
  const Refusal refusals[] = {
      {{"--value", "0x3F0:u32le", "--value-from", "1"}, 65, "writes address H'3F0, where the board's own value goes"},
      {{"--value", "0x3FFE:u32le", "--value-from", "1", "--highest", "0x3FFF"}, 65, "do not lie inside the window"},
      {{"--value", "0x1F000:u32le", "--value-from", "1"}, 65, "lie in block SB0, which this run does not program"},
      {{"--value", "0x3FFC:u16le", "--value-from", "1", "--records", unreachable}, 69, "cannot be reached"},
      {{"--value", "0x3FFC:u16le", "--value-from", "65536"}, 69, "past the largest value of u16le"},
      {{"--value", "0x3FFC:u16le", "--value-list", runtime_ + "/no-list.txt"}, 66, "cannot be opened"},
  };
  for (const Refusal& r : refusals) {
    std::vector<std::string> args = {"program", "-d", "TX-A10", "-p", Announced("l0"), file_};
    args.insert(args.end(), r.args.begin(), r.args.end());
    const std::size_t erasesBefore = boards[0]->EraseCommands().size();
    CliProcess run(args);
    EXPECT_EQ(run.Wait(), r.status) << r.says;
    EXPECT_TRUE(Contains(run.Err(), r.says)) << run.Err();
    EXPECT_EQ(boards[0]->EraseCommands().size(), erasesBefore) << r.says;
  }

  // Killed while its board is being programmed: the value it took stays taken, and the spool
  // and the store still open and answer.
  const std::string store = "sqlite:" + runtime_ + "/records.sqlite";
  auto paced = Plug("paced", {}, sim::BoardState::User, /*pace=*/true);
  const std::vector<std::string> counter = {"--value", "0x3FFC:u16le", "--value-from", "500", "--records", store};
  std::vector<std::string> args = {"program", "-d", "TX-A10", "-p", Announced("paced"), file_};
  args.insert(args.end(), counter.begin(), counter.end());
  CliProcess killed(args);
  ASSERT_TRUE(paced->WaitForReceived(64, 10s));
  killed.Signal(SIGKILL);
  EXPECT_EQ(killed.Wait(), -SIGKILL);
  args = {"program", "-d", "TX-A10", "-p", Announced("l1"), "--json", file_};
  args.insert(args.end(), counter.begin(), counter.end());
  CliProcess next(args);
  EXPECT_EQ(next.Wait(), 0) << next.Err();
  EXPECT_EQ(json::parse(next.Out()).at("value"), "501");
  EXPECT_EQ(Stored(store).size(), 1u);
  EXPECT_EQ(Spooled(store), 0);
}

}  // namespace
}  // namespace quill::test
