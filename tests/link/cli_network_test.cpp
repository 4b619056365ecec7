// quill-cli with boards on another computer: simulated boards behind a real port server
// (ser2net) on 127.0.0.1, reached as rfc2217:// and tcp:// ports, beside local ones; servers
// that refuse, do not resolve, stay silent or never answer; a server that dies in the middle of
// a run; Ctrl-C.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "link/results.h"
#include "tests/kernels/kernel_support.h"
#include "tests/link/link_support.h"
#include "tests/sim/raw_port.h"

namespace quill::test {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

std::map<std::string, json> RecordsByPort(const std::string& out) {
  std::map<std::string, json> records;
  std::stringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const json record = json::parse(line);
    records[record.at("port").get<std::string>()] = record;
  }
  return records;
}

// Every byte value, runs of 0xFF (telnet's escape byte) and CR NUL, CR LF (what a telnet without
// binary mode would rewrite), in records at the start of the TX-A10's flash.
std::vector<Record> EveryByteValue() {
  std::vector<uint8_t> data;
  for (int v = 0; v < 256; ++v) data.push_back(static_cast<uint8_t>(v));
  for (int i = 0; i < 8; ++i) data.push_back(0xFF);
  for (uint8_t b : {0x0D, 0x00, 0x0D, 0x0A, 0x0D, 0xFF, 0x00, 0xFF, 0x0D}) data.push_back(b);
  std::vector<Record> records;
  for (std::size_t at = 0; at < data.size(); at += 32) {
    const std::size_t n = std::min<std::size_t>(32, data.size() - at);
    records.push_back({static_cast<uint32_t>(at),
                       std::vector<uint8_t>(data.begin() + at, data.begin() + at + n)});
  }
  return records;
}

std::string WriteRecords(const std::vector<Record>& records) {
  std::vector<std::string> lines;
  for (const Record& r : records) lines.push_back(SRecord(3, r.address, r.data));
  return WriteProgramFile(lines);
}

// The flash after programming records with every block selected.
std::vector<uint8_t> FlashWith(WizardState sheet, const std::vector<Record>& records) {
  for (int i = 0; i < sheet.Mode().blockCount; ++i) {
    sheet.m_astrSelectedBlocks.push_back(sheet.Mode().blocks[i].name);
  }
  return ExpectedFlash(sheet, records);
}

// A board on a local pseudo-terminal, one behind the port server, and one that serves itself over
// TCP as the port server would (quill-sim --listen).
struct Boards {
  std::unique_ptr<sim::SimBoard> local, remote, listening;
};

Boards BoardsOfEachKind(const WizardState& sheet, sim::BoardState state, uint32_t rate) {
  sim::BoardOptions options = BoardFor(sheet, state);
  options.expectBaud = rate;  // a line at any other rate is an error the board records
  sim::BoardOptions listen = options;
  listen.listen = sim::ListenAddress{"127.0.0.1", 0};
  return {StartBoard(options), StartBoard(options), StartBoard(listen)};
}

// The same boot and the same programming, on a local pseudo-terminal, through the port server and
// through a board's own RFC 2217 server, in one run: the boards see the same bytes, at the job's
// rate, and the flash holds every byte value exactly.
TEST(NetworkPorts, Rfc2217CarriesTheSameBytesAsALocalPortAtTheJobsRate) {
  TestKernelStore store;
  const WizardState sheet = MakeSheet("TX-A10", 0, 8, "");
  store.Install(sheet.m_pClockRange->kernelId, RealKernel(sheet.m_pClockRange->kernelId));
  const std::vector<Record> records = EveryByteValue();
  const std::string file = WriteRecords(records);
  const std::vector<uint8_t> expected = FlashWith(sheet, records);

  struct Job {
    const char* name;
    sim::BoardState state;
    uint32_t rate;
    std::vector<std::string> args;
  };
  const std::vector<Job> jobs = {
      {"boot", sim::BoardState::Boot, static_cast<uint32_t>(sheet.m_nComBootRate),
       {"boot", "-d", "TX-A10", "-c", "16MHz"}},
      // Not the server's own 9600: the rate must come from the job.
      {"program", sim::BoardState::User, 19200, {"program", "-d", "TX-A10", "-b", "19200"}},
  };
  for (const Job& job : jobs) {
    SCOPED_TRACE(job.name);
    Boards boards = BoardsOfEachKind(sheet, job.state, job.rate);
    PortServer server({{boards.remote->PortPath(), 9600, true}});
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    std::vector<std::string> args = job.args;
    args.insert(args.end(), {"-p", boards.local->PortPath(), "-p", server.Url(0), "-p",
                             boards.listening->PortPath(), "--json", "-q", file});
    CliProcess run(args);
    ASSERT_EQ(run.Wait(), 0) << run.Err();

    const auto records = RecordsByPort(run.Out());
    ASSERT_EQ(records.count(server.Url(0)), 1u) << run.Out();  // named as given
    EXPECT_EQ(records.at(server.Url(0)).at("exit_status"), 0);
    ASSERT_EQ(records.count(boards.listening->PortPath()), 1u) << run.Out();
    EXPECT_EQ(records.at(boards.listening->PortPath()).at("exit_status"), 0);
    for (const auto* board : {boards.local.get(), boards.remote.get(), boards.listening.get()}) {
      EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
      EXPECT_EQ(board->Flash(), expected);
    }
    EXPECT_EQ(boards.remote->Received(), boards.local->Received());
    EXPECT_EQ(boards.remote->Sent(), boards.local->Sent());
    EXPECT_EQ(boards.listening->Received(), boards.local->Received());
    EXPECT_EQ(boards.listening->Sent(), boards.local->Sent());
    // The link releases both lines as it opens the port; no map, so the board took no notice.
    EXPECT_EQ(boards.listening->LineChanges().size(), 2u);
    EXPECT_FALSE(boards.remote->Received().empty());
  }
}

// Whether a port server passes the control lines on. In front of a board that serves itself
// (quill-sim --listen) ser2net carries DTR to it and the board's confirmation back, so VPP
// follows; in front of a pseudo-terminal, which has no modem lines, it answers no DTR request at
// all (a later query is answered first, with its own code).
TEST(NetworkPorts, APortServerPassesTheLinesOnToABoardThatServesItself) {
  const WizardState sheet = MakeSheet("TX-A10", 0, 8, "");
  sim::BoardOptions options = BoardFor(sheet, sim::BoardState::User);
  const auto onPty = StartBoard(options);
  options.listen = sim::ListenAddress{"127.0.0.1", 0};
  options.lines = LineMap{};
  const auto listening = StartBoard(options);
  PortServer server({{listening->PortPath(), 9600, true}, {onPty->PortPath(), 9600, true}});
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;

  RawTelnet host;
  ASSERT_TRUE(host.Open(server.Url(0), 9600));
  EXPECT_EQ(host.Control(8), 8);
  EXPECT_TRUE(listening->Powered());
  ASSERT_TRUE(host.Write({0x57, 0x00}));
  EXPECT_EQ(host.Read(), 0x06);
  EXPECT_EQ(host.Control(9), 9);
  EXPECT_FALSE(listening->Powered());
  ASSERT_FALSE(listening->LineChanges().empty());
  EXPECT_EQ(listening->LineChanges().back().line, ControlLine::Dtr);

  RawTelnet toPty;
  ASSERT_TRUE(toPty.Open(server.Url(1), 9600));
  ASSERT_FALSE(toPty.Request(5, {8}, 0));  // DTR on, not waited for
  EXPECT_EQ(toPty.Control(7), 7) << "the first answer is the query's, not DTR's";
}

// Over raw TCP the server's own setting is the line's: a job at that rate programs exactly.
TEST(NetworkPorts, RawTcpProgramsWithTheServerAtTheJobsRate) {
  const WizardState sheet = MakeSheet("TX-A10", 0, 8, "");
  const std::vector<Record> records = EveryByteValue();
  sim::BoardOptions options = BoardFor(sheet, sim::BoardState::User);
  options.expectBaud = 38400;
  auto board = StartBoard(options);
  PortServer server({{board->PortPath(), 38400, false}});
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  CliProcess run({"program", "-d", "TX-A10", "-b", "38400", "-p", server.Url(0), "-q",
              WriteRecords(records)});
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
  EXPECT_EQ(board->Flash(), FlashWith(sheet, records));
}

// A socket of 127.0.0.1 that listens but never accepts.
struct Listener {
  explicit Listener(int backlog) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, backlog);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~Listener() {
    for (int c : fillers) ::close(c);
    ::close(fd);
  }
  // Fills the queue of connections not yet accepted: the kernel then drops further connection
  // requests unanswered, as a host that is down or behind a firewall does.
  void Fill() {
    for (int i = 0; i < 3; ++i) {
      const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(port);
      ::connect(c, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers.push_back(c);
    }
  }
  // Everything the first client that connected has sent; empty when none connected.
  std::vector<uint8_t> FirstClientBytes(bool* connected) {
    const int c = ::accept(fd, nullptr, nullptr);
    *connected = c >= 0;
    std::vector<uint8_t> bytes;
    if (c < 0) return bytes;
    uint8_t buffer[256];
    for (ssize_t n; (n = ::recv(c, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
      bytes.insert(bytes.end(), buffer, buffer + n);
    }
    ::close(c);
    return bytes;
  }
  int fd = -1;
  uint16_t port = 0;
  std::vector<int> fillers;
};

// Ports that cannot be opened: each named with its host, port and reason, exit 13, and nothing
// of the protocols sent; a local board of the same run is programmed while they are still being
// tried (each port is opened by its own board's worker); a boot on a network port without an
// installed kernel sends nothing and exits 78.
TEST(NetworkPorts, PortsThatDoNotOpenAreNamedWithTheirReasonAndGetNothing) {
  const uint16_t refused = FreeTcpPort();
  Listener silent(0);
  silent.Fill();
  Listener mute(4);  // takes the connection, never says a word
  const std::string file = WriteRecords(EveryByteValue());
  struct Case {
    std::string url, hostPort, reason;
  };
  const std::vector<Case> cases = {
      {"rfc2217://127.0.0.1:" + std::to_string(refused), "127.0.0.1:" + std::to_string(refused),
       "connection refused"},
      {"tcp://no-such-host.invalid:2217", "no-such-host.invalid:2217", "does not resolve"},
      {"tcp://127.0.0.1:" + std::to_string(silent.port), "127.0.0.1:" + std::to_string(silent.port),
       "no connection within 5 seconds"},
      {"rfc2217://127.0.0.1:" + std::to_string(mute.port), "127.0.0.1:" + std::to_string(mute.port),
       "did not take the Com Port Control Option (RFC 2217) within 5 seconds"},
  };
  WizardState sheet = MakeSheet("TX-A10", 0, 0, "");
  const auto local = StartBoard(BoardFor(sheet, sim::BoardState::User));
  std::vector<std::string> args = {"program", "-d", "TX-A10", "--json", "-q", file};
  for (const Case& c : cases) args.insert(args.end(), {"-p", c.url});
  args.insert(args.end(), {"-p", local->PortPath()});
  const Clock::time_point start = Clock::now();
  CliProcess run(args);
  EXPECT_EQ(run.Wait(), ErrorInternal) << run.Err();
  // The two waits of 5 seconds run side by side; the others fail at once.
  EXPECT_LT(Clock::now() - start, 9s);
  const auto records = RecordsByPort(run.Out());
  ASSERT_EQ(records.count(local->PortPath()), 1u) << run.Out();
  EXPECT_EQ(records.at(local->PortPath()).at("exit_status"), 0);
  EXPECT_LT(records.at(local->PortPath()).at("seconds").get<double>(), 4.0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    ASSERT_EQ(records.count(c.url), 1u) << run.Out();
    const json& record = records.at(c.url);
    EXPECT_EQ(record.at("exit_status"), ErrorInternal);
    const std::string problem = record.value("port_problem", "");
    EXPECT_TRUE(Contains(problem, c.hostPort) && Contains(problem, c.reason)) << problem;
    EXPECT_TRUE(Contains(run.Err(), c.url + ": " + problem)) << run.Err();
  }
  // The mute server heard the telnet offers and nothing else.
  bool connected = false;
  const std::vector<uint8_t> heard = mute.FirstClientBytes(&connected);
  ASSERT_TRUE(connected);
  for (std::size_t i = 0; i < heard.size(); i += 3) {
    ASSERT_EQ(heard[i], 0xFF) << "byte " << i << " is no telnet command";
    EXPECT_TRUE(heard[i + 1] == 0xFB || heard[i + 1] == 0xFD);
  }

  // No kernel installed: refused before any connection.
  Listener server(4);
  CliProcess boot({"boot", "-d", "TX-A10", "-c", "16MHz", "-p",
               "rfc2217://127.0.0.1:" + std::to_string(server.port), "-q", file});
  EXPECT_EQ(boot.Wait(), 78) << boot.Err();
  server.FirstClientBytes(&connected);
  EXPECT_FALSE(connected);
}

// A host that takes the connection and never answers holds up no caller: the start returns at
// once, and an abort ends the wait for the port server within 200 ms, sending nothing.
TEST(NetworkPorts, AStartReturnsAtOnceAndAnAbortCutsAPendingConnectShort) {
  Listener mute(4);
  WizardState sheet = MakeSheet("TX-A10", 0, 0, "");
  sheet.m_strComPort = "rfc2217://127.0.0.1:" + std::to_string(mute.port);
  sheet.m_astrSelectedBlocks = {"LB0"};
  CCommThread comm;
  RecordingNotifier notifier(comm);
  Clock::time_point begin = Clock::now();
  ASSERT_TRUE(comm.StartErase(&notifier, sheet));
  EXPECT_LT(Clock::now() - begin, 100ms);
  // Once the connection is there, the worker waits for the server's consent.
  pollfd pending{mute.fd, POLLIN, 0};
  ASSERT_EQ(::poll(&pending, 1, 2000), 1);
  begin = Clock::now();
  comm.Abort();
  EXPECT_LT(Clock::now() - begin, 200ms);
  uint32_t detail = 0;
  EXPECT_EQ(comm.GetResult(detail), ErrorUserAbort);
  EXPECT_EQ(notifier.IdleCount(), 1);
  bool connected = false;
  const std::vector<uint8_t> heard = mute.FirstClientBytes(&connected);
  EXPECT_TRUE(connected);
  for (std::size_t i = 0; i < heard.size(); i += 3) EXPECT_EQ(heard[i], 0xFF) << "byte " << i;
}

// The server goes away in the middle of a run: the step it interrupts fails at once as a lost
// connection (13, naming the host and port), never as a success and never by waiting out the
// protocol's timeouts; Ctrl-C aborts a network run as a local one. In Automatic Mode VPP is off
// afterwards, whether Ctrl-C came (QUILL switched it off, then released Mode) or the port server
// in front of the board died (its connection closed, releasing the lines).
TEST(NetworkPorts, AServerLostMidRunFailsTheStepAndCtrlCAborts) {
  TestKernelStore store;
  const WizardState sheet = MakeSheet("TX-A10", 0, 8, "");
  store.Install(sheet.m_pClockRange->kernelId, RealKernel(sheet.m_pClockRange->kernelId));
  std::vector<std::string> lines;
  for (uint32_t a = 0; a < 0x800; a += 128) lines.push_back(SRecord(3, a, Pattern(128, 3)));
  const std::string file = WriteProgramFile(lines);
  enum class Action { KillServer, Interrupt };
  enum class Via { Ser2net, Direct };  // an automatic board: ser2net in front, or reached itself
  struct Case {
    const char* name;
    sim::BoardState state;
    std::vector<std::string> args;
    std::size_t receivedBefore;  // bytes the board has taken when the action comes
    Action action;
    int status;
    bool automatic = false;
    Via via = Via::Ser2net;
  };
  const std::vector<std::string> automatic = {"program", "--no-erase", "--automatic", "--line-delay", "10"};
  const std::vector<Case> cases = {
      // Ten sync bytes, then a third of the kernel, one byte at a time with its echo.
      {"download", sim::BoardState::Boot, {"boot", "-c", "16MHz"}, 10 + 600, Action::KillServer,
       ErrorInternal},
      // The chunk header (11 bytes) and half of the first record's 128 bytes.
      {"chunk", sim::BoardState::User, {"program", "--no-erase"}, 11 + 64, Action::KillServer,
       ErrorInternal},
      {"ctrl-c", sim::BoardState::User, {"program", "--no-erase"}, 11 + 64, Action::Interrupt,
       ErrorUserAbort},
      {"automatic ctrl-c", sim::BoardState::Boot, automatic, 11 + 64, Action::Interrupt,
       ErrorUserAbort, true, Via::Direct},
      {"automatic ctrl-c through ser2net", sim::BoardState::Boot, automatic, 11 + 64,
       Action::Interrupt, ErrorUserAbort, true},
      {"automatic, ser2net killed", sim::BoardState::Boot, automatic, 11 + 64, Action::KillServer,
       ErrorInternal, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::BoardOptions options = BoardFor(sheet, c.state);
    options.pace = true;  // bytes take their line time, so the action lands inside the step
    if (c.automatic) {
      options.listen = sim::ListenAddress{"127.0.0.1", 0};
      options.lines = LineMap{};
    }
    auto board = StartBoard(options);
    PortServer server({{board->PortPath(), 9600, true}});
    std::string error;
    if (c.via == Via::Ser2net) {
      ASSERT_TRUE(server.Start(&error)) << error;
    }
    const std::string url = c.via == Via::Ser2net ? server.Url(0) : board->PortPath();
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-d", "TX-A10", "-p", url, file});
    CliProcess run(args);
    ASSERT_TRUE(board->WaitForReceived(c.receivedBefore, 30s))
        << board->Received().size() << " bytes received; " << (run.Signal(SIGKILL), run.Err());
    if (c.automatic) {
      ASSERT_TRUE(board->Powered());
    }
    const Clock::time_point action = Clock::now();
    if (c.action == Action::KillServer) server.Kill();
    if (c.action == Action::Interrupt) run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), c.status) << run.Err();
    EXPECT_LT(Clock::now() - action, 3s);
    if (c.action == Action::KillServer) {
      const std::string said = "the connection to 127.0.0.1:" + std::to_string(server.Port(0)) +
                               " was lost";
      EXPECT_TRUE(Contains(run.Err(), server.Url(0) + ": " + said)) << run.Err();
    }
    if (!c.automatic) continue;
    EXPECT_TRUE(board->WaitForPowered(false, 5s)) << "VPP is still on";
    if (c.action == Action::Interrupt) {
      EXPECT_TRUE(SwitchedOffThenModeReleased(*board, 9ms));
    }
  }
}

}  // namespace
}  // namespace quill::test

namespace quill::test {
namespace {

// The board's line settings after the link's open released both lines, as (line, level) in order.
std::vector<std::pair<ControlLine, bool>> SwitchMoves(const sim::SimBoard& board) {
  std::vector<std::pair<ControlLine, bool>> moves;
  const std::vector<sim::LineChange> changes = board.LineChanges();
  for (std::size_t i = 2; i < changes.size(); ++i) moves.emplace_back(changes[i].line, changes[i].asserted);
  return moves;
}

// Automatic Mode against a board that obeys its lines as an adapter board does: before the
// operation VPP off, Mode (Boot for a boot, User otherwise, through the map), VPP on, each change
// given its settling time; after it, whatever the outcome (success, a failed step, an abort, a
// server gone), VPP off first, then Mode released. The same board without Automatic Mode stays
// silent.
TEST(AutomaticMode, TheLinesSetTheSwitchesAndVppGoesOffAfterEveryOutcome) {
  TestKernelStore store;
  WizardState base = MakeSheet("TX-A10", 0, 8, "");
  store.Install(base.m_pClockRange->kernelId, RealKernel(base.m_pClockRange->kernelId));
  base.m_strFile = WriteRecords({{0x100, Pattern(64, 1)}});
  base.m_astrSelectedBlocks = {"LB0"};
  enum class End { Done, Abort };
  struct Case {
    const char* name;
    ThreadCommand command;
    const char* map;
    std::vector<sim::Fault> faults;
    End end;
    int32_t kind;
  };
  using sim::FaultAction;
  using sim::Step;
  const Case cases[] = {
      {"Boot", CmdBoot, "vpp=dtr,mode=rts", {}, End::Done, ErrorNone},
      {"Program", CmdProgram, "vpp=dtr,mode=rts", {}, End::Done, ErrorNone},
      {"EraseWithTheModeLineInverted", CmdErase, "vpp=dtr,mode=!rts", {}, End::Done, ErrorNone},
      {"ProgramWithTheLinesSwapped", CmdProgram, "vpp=rts,mode=dtr", {}, End::Done, ErrorNone},
      {"AFailedChunk", CmdProgram, "vpp=dtr,mode=rts", {{Step::ChunkChecksum, FaultAction::Fail}},
       End::Done, -1},
      // A failure at each step of a boot and of an erase: VPP goes off all the same.
      {"BootSyncUnanswered", CmdBoot, "vpp=dtr,mode=rts", {{Step::Sync, FaultAction::Silent}},
       End::Done, ErrorBootSyncTimeout},
      {"BootDownloadEchoWrong", CmdBoot, "vpp=dtr,mode=rts", {{Step::Echo, FaultAction::WrongByte, 40}},
       End::Done, ErrorBootLoadEcho},
      {"BootEraseFailed", CmdBoot, "vpp=dtr,mode=rts", {{Step::BootErase, FaultAction::Fail}},
       End::Done, ErrorBootEraseFailed},
      {"BootChunkFailed", CmdBoot, "vpp=dtr,mode=rts", {{Step::ChunkChecksum, FaultAction::Fail}},
       End::Done, ErrorFlashWriteChecksum},
      {"EraseFailed", CmdErase, "vpp=dtr,mode=rts", {{Step::BlockErase, FaultAction::Fail}},
       End::Done, ErrorBlockEraseFailed},
      {"AnAbort", CmdProgram, "vpp=dtr,mode=rts", {{Step::ChunkData, FaultAction::Silent}},
       End::Abort, ErrorUserAbort},
      {"TheServerGone", CmdProgram, "vpp=dtr,mode=rts", {{Step::ChunkData, FaultAction::HangUp}},
       End::Done, ErrorInternal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineMap map;
    ASSERT_TRUE(ParseLineMap(c.map, &map, nullptr));
    sim::BoardOptions options = BoardFor(base, sim::BoardState::Boot);
    options.listen = sim::ListenAddress{"127.0.0.1", 0};
    options.lines = map;
    options.faults = c.faults;
    auto board = StartBoard(options);
    WizardState sheet = base;
    sheet.m_strComPort = board->PortPath();
    sheet.m_bAutomatic = true;
    sheet.m_strLineMap = c.map;
    sheet.m_nLineDelayMs = 20;
    CCommThread comm;
    // A step left unanswered fails at its timeout; the board answers the others at once.
    if (!c.faults.empty() && c.faults[0].action == FaultAction::Silent && c.end == End::Done)
      comm.SetReadTimeoutForTesting(100ms);
    RecordingNotifier notifier(comm);
    ASSERT_TRUE(c.command == CmdBoot      ? comm.StartBoot(&notifier, sheet)
                : c.command == CmdErase ? comm.StartErase(&notifier, sheet)
                                          : comm.StartProgram(&notifier, sheet, true));
    if (c.end == End::Abort) {
      ASSERT_TRUE(notifier.WaitForPhase(PhaseProgram));
      comm.Abort();
    }
    ASSERT_TRUE(notifier.WaitIdle());
    uint32_t detail = 0;
    const int32_t kind = comm.GetResult(detail);
    if (c.kind < 0) {
      EXPECT_NE(kind, ErrorNone);
    } else {
      EXPECT_EQ(kind, c.kind) << detail << " " << comm.GetOutcome().linkProblem;
    }
    // A server gone takes the lines with it; every other ending switches VPP off.
    const bool gone = !c.faults.empty() && c.faults[0].action == FaultAction::HangUp;
    if (!gone) {
      EXPECT_FALSE(board->Powered()) << "VPP is still on";
    }
    const bool boot = c.command == CmdBoot;
    const std::vector<std::pair<ControlLine, bool>> before = {
        {map.vpp, false}, {map.mode, map.BootWhen(true) == boot}, {map.vpp, true}};
    const std::vector<std::pair<ControlLine, bool>> moves = SwitchMoves(*board);
    ASSERT_GE(moves.size(), 3u);
    EXPECT_EQ(std::vector(moves.begin(), moves.begin() + 3), before);
    if (!gone) {
      const std::vector<std::pair<ControlLine, bool>> after = {{map.vpp, false}, {map.mode, false}};
      EXPECT_EQ(std::vector(moves.end() - 2, moves.end()), after);
    }
    // Each switch had its settling time before the next moved.
    const std::vector<sim::LineChange> changes = board->LineChanges();
    for (std::size_t i = 2; i < 4; ++i) EXPECT_GE(changes[i + 1].at - changes[i].at, 18ms) << i;
    // VPP off settled before Mode was released: QUILL's switching, not a closing port's.
    if (!gone) {
      EXPECT_GE(changes.back().at - changes[changes.size() - 2].at, 18ms);
    }
    if (kind == ErrorNone) {
      EXPECT_FALSE(board->Sent().empty());
    }
  }

  // Without Automatic Mode no one switches VPP on: the board hears the host and says nothing.
  sim::BoardOptions options = BoardFor(base, sim::BoardState::User);
  options.listen = sim::ListenAddress{"127.0.0.1", 0};
  options.lines = LineMap{};
  auto board = StartBoard(options);
  WizardState sheet = base;
  sheet.m_strComPort = board->PortPath();
  CCommThread comm;
  comm.SetReadTimeoutForTesting(10ms);
  RecordingNotifier notifier(comm);
  ASSERT_TRUE(comm.StartProgram(&notifier, sheet, false));
  ASSERT_TRUE(notifier.WaitIdle());
  uint32_t detail = 0;
  EXPECT_NE(comm.GetResult(detail), ErrorNone);
  EXPECT_FALSE(board->Received().empty());
  EXPECT_TRUE(board->Sent().empty());
}

// Ports that cannot drive their lines fail with 13 before anything is sent, naming the port: a
// pseudo-terminal at once, a port server that never confirms SET-CONTROL (ser2net in front of a
// pseudo-terminal) after its 5 seconds. A job saved in Automatic Mode keeps it; the map's usage
// errors.
TEST(AutomaticMode, PortsThatCannotDriveTheLinesAreRefusedBeforeAnythingIsSent) {
  WizardState sheet = MakeSheet("TX-A10", 0, 0, "");
  const auto local = StartBoard(BoardFor(sheet, sim::BoardState::User));
  const auto served = StartBoard(BoardFor(sheet, sim::BoardState::User));
  PortServer server({{served->PortPath(), 9600, true}});
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  CliProcess run({"erase", "-d", "TX-A10", "--blocks", "LB0", "--automatic", "--json", "-q", "-p",
                  local->PortPath(), "-p", server.Url(0)});
  EXPECT_EQ(run.Wait(), ErrorInternal) << run.Err();
  const auto records = RecordsByPort(run.Out());
  for (const std::string& port : {local->PortPath(), server.Url(0)}) {
    ASSERT_EQ(records.count(port), 1u) << run.Out();
    const std::string problem = records.at(port).value("port_problem", "");
    EXPECT_TRUE(Contains(problem, "DTR") && Contains(problem, "Automatic Mode")) << problem;
    EXPECT_TRUE(Contains(run.Err(), port + ": " + problem)) << run.Err();
  }
  EXPECT_TRUE(Contains(records.at(server.Url(0)).value("port_problem", ""), "did not confirm DTR"));
  EXPECT_TRUE(local->Received().empty());
  EXPECT_TRUE(served->Received().empty());

  const std::string job = ::testing::TempDir() + "quill_automatic.job";
  CliProcess save({"erase", "-d", "TX-A10", "--blocks", "LB0", "--automatic", "--lines",
                   "mode=!rts", "--line-delay", "250", "--save-job", job});
  ASSERT_EQ(save.Wait(), 0) << save.Err();
  EXPECT_EQ(json::parse(ReadAll(job)).at("automatic"),
            json({{"vpp", "dtr"}, {"mode", "!rts"}, {"delay_ms", 250}}));
  const struct {
    std::vector<std::string> args;
    const char* says;
  } usage[] = {
      {{"--lines", "vpp=dtr,mode=rts"}, "--lines needs --automatic"},
      {{"--line-delay", "100"}, "--line-delay needs --automatic"},
      {{"--automatic", "--lines", "vpp=!dtr,mode=rts"}, "cannot be inverted"},
      {{"--automatic", "--lines", "vpp=dtr,mode=dtr"}, "--lines 'vpp=dtr,mode=dtr'"},
      {{"--automatic", "--line-delay", "5"}, "milliseconds from 10 to 5000"},
  };
  for (const auto& u : usage) {
    std::vector<std::string> args = {"erase", "-d", "TX-A10", "--blocks", "LB0", "-p", local->PortPath()};
    args.insert(args.end(), u.args.begin(), u.args.end());
    CliProcess refused(args);
    EXPECT_EQ(refused.Wait(), 64) << u.says;
    EXPECT_TRUE(Contains(refused.Err(), u.says)) << refused.Err();
  }
  EXPECT_TRUE(local->Received().empty());
}

}  // namespace
}  // namespace quill::test
