// Boots with installed kernels and without: the bytes that go down the line, and the refusal
// that keeps a stand-in away from anything but a simulated board.
#include <gtest/gtest.h>
#include <unistd.h>

#include "app/wizard_state.h"
#include "kernels/kernel_store.h"
#include "link/results.h"
#include "resources/fpcode.h"
#include "tests/kernels/kernel_support.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

// The kernel image as the host sent it: the bytes after the ten synchronisation bytes, the start
// byte and the two length bytes.
std::vector<uint8_t> DownloadedKernel(const sim::SimBoard& board) {
  const std::vector<uint8_t> received = board.Received();
  if (received.size() < 13) return {};
  const std::size_t length = (received[11] << 8) | received[12];
  if (received.size() < 13 + length) return {};
  return {received.begin() + 13, received.begin() + 13 + static_cast<std::ptrdiff_t>(length)};
}

struct BootOutcome {
  int32_t kind;
  uint32_t detail;
};

BootOutcome Boot(WizardState& sheet) {
  sheet.m_strFile = WriteProgramFile({SRecord(1, sheet.Mode().flashLowest, Pattern(4, 9))});
  sheet.m_astrSelectedBlocks = {sheet.Mode().blocks[0].name};
  CCommThread comm;
  RecordingNotifier notifier(comm);
  BootOutcome outcome{};
  if (comm.StartBoot(&notifier, sheet)) {
    EXPECT_TRUE(notifier.WaitIdle());
  }
  outcome.kind = comm.GetResult(outcome.detail);
  EXPECT_TRUE(comm.GetOutcome().fileError.empty()) << comm.GetOutcome().fileError;
  return outcome;
}

TEST(InstalledKernels, EveryClockRangeOfEveryDeviceAndModeDownloadsExactlyTheInstalledBytes) {
  TestKernelStore store;
  // The board expects the same set from a folder of its own, so the host's lookup is checked
  // against an independent copy.
  ScratchDir boardKernels;
  for (uint32_t id : CatalogueKernelIds()) {
    store.Install(id, RealKernel(id));
    WriteFile(KernelFilePath(boardKernels.Path(), id), RealKernel(id));
  }
  for (int d = 0; d < GetDeviceCount(); ++d) {
    const DeviceType* device = GetDevice(d);
    for (int m = 0; m < device->modeCount; ++m) {
      for (int c = 0; c < device->GetClockRangeCount(m); ++c) {
        WizardState sheet = MakeSheet(device->GetName(), m, c, "");
        const uint32_t id = sheet.m_pClockRange->kernelId;
        SCOPED_TRACE(device->GetName() + " mode " + std::to_string(m) + " kernel " + std::to_string(id));
        sim::BoardOptions options = BoardFor(sheet, sim::BoardState::Boot);
        options.kernelDir = boardKernels.Path().string();
        auto board = StartBoard(options);
        sheet.m_strComPort = board->PortPath();
        const BootOutcome outcome = Boot(sheet);
        EXPECT_EQ(outcome.kind, ErrorNone) << FormatErrorMessage(outcome.kind, outcome.detail);
        EXPECT_EQ(DownloadedKernel(*board), RealKernel(id));
        EXPECT_EQ(board->BootCount(), 1);
        EXPECT_TRUE(board->Errors().empty()) << board->Errors().front();
      }
    }
  }
}

TEST(InstalledKernels, WithoutOneTheStandInGoesToASimulatedBoardAndABoardExpectingTheRealOneSaysSo) {
  TestKernelStore store;
  WizardState sheet = MakeSheet("TX-C31", 1, 4, "");
  const uint32_t id = sheet.m_pClockRange->kernelId;
  const auto standIn = FindResource("FPCODE", id);
  {
    auto board = StartBoard(BoardFor(sheet, sim::BoardState::Boot));
    sheet.m_strComPort = board->PortPath();
    EXPECT_EQ(Boot(sheet).kind, ErrorNone);
    EXPECT_EQ(DownloadedKernel(*board), std::vector<uint8_t>(standIn.begin(), standIn.end()));
  }
  {
    // A board that holds the real kernel sees the stand-in as a wrong kernel, and goes silent.
    ScratchDir boardKernels;
    WriteFile(KernelFilePath(boardKernels.Path(), id), RealKernel(id));
    sim::BoardOptions options = BoardFor(sheet, sim::BoardState::Boot);
    options.kernelDir = boardKernels.Path().string();
    auto board = StartBoard(options);
    sheet.m_strComPort = board->PortPath();
    CCommThread comm;
    // Short enough that the silence after the download costs little, long enough that a loaded
    // machine still echoes every download byte in time.
    comm.SetReadTimeoutForTesting(std::chrono::milliseconds(100));
    RecordingNotifier notifier(comm);
    sheet.m_strFile = WriteProgramFile({SRecord(1, 0, Pattern(4, 9))});
    ASSERT_TRUE(comm.StartBoot(&notifier, sheet));
    ASSERT_TRUE(notifier.WaitIdle());
    uint32_t detail = 0;
    EXPECT_EQ(comm.GetResult(detail), ErrorBootEraseTimeout);
    ASSERT_FALSE(board->Errors().empty());
    EXPECT_NE(board->Errors().front().find("wrong kernel"), std::string::npos) << board->Errors().front();
  }
}

TEST(InstalledKernels, NoStandInReachesAPortThatIsNoPseudoTerminalAndADamagedKernelIsNeverReplaced) {
  TestKernelStore store;
  WizardState sheet = MakeSheet("TX-A10", 0, 8, "/dev/null");
  const uint32_t id = sheet.m_pClockRange->kernelId;

  // /dev/null, a link to it, and a missing device: refused before any port is opened.
  ScratchDir links;
  const fs::path toNull = links.Path() / "sim-looking-link";
  fs::create_symlink("/dev/null", toNull);
  for (const std::string& port : {std::string("/dev/null"), toNull.string(), std::string("/dev/ttyUSB99")}) {
    SCOPED_TRACE(port);
    sheet.m_strComPort = port;
    const BootOutcome outcome = Boot(sheet);
    EXPECT_EQ(outcome.kind, ErrorNoKernel);
    EXPECT_EQ(outcome.detail, id);
    const std::string message = FormatErrorMessage(outcome.kind, outcome.detail);
    for (const std::string& part : {std::string("TX-A10"), std::string(">= 16 MHz"),
                                   std::string("kernel 155"), std::string("quill-cli kernels import"),
                                   store.Store().string()})
      EXPECT_NE(message.find(part), std::string::npos) << part << " in " << message;
  }

  // A link to a pseudo-terminal, as a simulated board announces its port, takes the stand-in.
  auto board = StartBoard(BoardFor(sheet, sim::BoardState::Boot));
  const fs::path toPty = links.Path() / "sim-1";
  fs::create_symlink(board->PortPath(), toPty);
  sheet.m_strComPort = toPty.string();
  EXPECT_EQ(Boot(sheet).kind, ErrorNone);

  // An installed file that cannot be used stops the boot even on a simulated board: it is not
  // passed over for the stand-in.
  store.Install(id, {});
  const std::size_t before = board->Received().size();
  const BootOutcome damaged = Boot(sheet);
  EXPECT_EQ(damaged.kind, ErrorKernelUnusable);
  EXPECT_EQ(damaged.detail, id);
  EXPECT_NE(FormatErrorMessage(damaged.kind, damaged.detail).find("it is empty"), std::string::npos)
      << FormatErrorMessage(damaged.kind, damaged.detail);
  EXPECT_EQ(board->Received().size(), before);

  // With a real kernel installed the boot goes ahead on any port: /dev/null swallows it, so the
  // synchronisation finds no answer.
  store.Install(id, RealKernel(id));
  sheet.m_strComPort = "/dev/null";
  CCommThread comm;
  comm.SetReadTimeoutForTesting(std::chrono::milliseconds(10));
  RecordingNotifier notifier(comm);
  ASSERT_FALSE(comm.StartBoot(&notifier, sheet) && !notifier.WaitIdle());
  uint32_t detail = 0;
  const int32_t kind = comm.GetResult(detail);
  EXPECT_TRUE(kind == ErrorBootSyncTimeout || kind == ErrorInternal) << kind;
  EXPECT_FALSE(IsKernelRefusal(kind));
}

}  // namespace
}  // namespace quill::test
