// The boot and kernel protocol sessions against a board in memory: every byte the host sends and
// every failure kind with its detail, without a pseudo-terminal, a thread or a real timeout.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/wizard_state.h"
#include "link/boot_protocol.h"
#include "link/kernel_protocol.h"
#include "tests/link/link_support.h"
#include "progfile/file_set.h"

namespace quill {
namespace {

using namespace quill::test;

// A board in memory. A reply becomes readable once the host has written a given number of bytes
// in all; a read with nothing readable times out at once, so a silent board costs nothing.
class ScriptedLink final : public ByteLink {
 public:
  void ReplyAfter(std::size_t written, std::vector<uint8_t> bytes) {
    for (uint8_t byte : bytes) replies_.push_back({written, byte});
  }

  bool Write(const uint8_t* data, std::size_t length) override {
    if (++writeCalls == failWriteCall) return false;
    written.insert(written.end(), data, data + length);
    return true;
  }

  ReadResult ReadOne(uint8_t& byte, std::chrono::milliseconds) override {
    ++readAttempts;
    if (!replies_.empty() && replies_.front().after <= written.size()) {
      byte = replies_.front().byte;
      replies_.pop_front();
      return ReadResult::Byte;
    }
    ++timeouts;
    return hungUp ? ReadResult::Failed : ReadResult::Timeout;
  }

  bool AbortRequested() const override {
    return abortAfterReads.has_value() && readAttempts >= *abortAfterReads;
  }

  std::vector<uint8_t> written;
  int writeCalls = 0;
  int failWriteCall = 0;  // the write call (counted from 1) that fails; 0 for none
  int readAttempts = 0;
  int timeouts = 0;
  bool hungUp = false;                 // reads without a byte fail instead of timing out
  std::optional<int> abortAfterReads;  // the user aborts once this many reads were attempted

 private:
  struct Reply {
    std::size_t after;
    uint8_t byte;
  };
  std::deque<Reply> replies_;
};

Job TxA10Job() {
  WizardState sheet = MakeSheet("TX-A10", 0, 0, "");
  for (int i = 0; i < sheet.Mode().blockCount; ++i) {
    sheet.m_astrSelectedBlocks.push_back(sheet.Mode().blocks[i].name);
  }
  return sheet;
}

struct ProgressLog {
  std::vector<Progress> steps;
  ProgressCallback Callback() {
    return [this](const Progress& p) { steps.push_back(p); };
  }
};

// The replies of a kernel that takes one chunk of count bytes, written after `before` bytes.
void AcceptChunk(ScriptedLink& link, std::size_t before, std::size_t count, uint8_t last = 0x06) {
  link.ReplyAfter(before + 2, {0x06});
  link.ReplyAfter(before + 10, {0x11});
  link.ReplyAfter(before + 11 + count, {0x11});
  link.ReplyAfter(before + 13 + count, {last});
}

CProgramFileSet OpenFiles(const std::vector<std::string>& lines) {
  CProgramFileSet files;
  files.Open({ProgramFile{WriteProgramFile(lines)}});
  return files;
}

TEST(KernelSession, SendsAChunkExactlyAsTheKernelExpectsIt) {
  ScriptedLink link;
  AcceptChunk(link, 0, 3);
  const Job job = TxA10Job();
  ProgressLog log;
  CKernelSession session(link, job, log.Callback());
  CProgramFileSet files = OpenFiles({SRecord(1, 0x1000, {0x01, 0x02, 0x03})});
  EXPECT_EQ(session.ProgramFile(files, false), Result{});
  const std::vector<uint8_t> expected = {0x57, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00,
                                         0x03, 0x11, 0x01, 0x02, 0x03, 0x11, 0xF9};
  EXPECT_EQ(link.written, expected);
  EXPECT_EQ(session.Counts().programmed, 3u);
  EXPECT_EQ(session.Counts().skipped, 0u);
  ASSERT_FALSE(log.steps.empty());
  EXPECT_EQ(log.steps.front().phase, PhaseProgram);
  EXPECT_EQ(log.steps.back().position, log.steps.back().range);
}

// One chunk at 0x1000 whose exchange goes wrong at one place.
struct ChunkFault {
  const char* name;
  std::function<void(ScriptedLink&)> script;
  Result expected;
  int timeouts;  // read attempts that found nothing
};

class ChunkFaults : public testing::TestWithParam<ChunkFault> {};

TEST_P(ChunkFaults, EndTheStepWithTheirKindAndDetail) {
  ScriptedLink link;
  GetParam().script(link);
  const Job job = TxA10Job();
  CKernelSession session(link, job, nullptr);
  CProgramFileSet files = OpenFiles({SRecord(1, 0x1000, {0x01, 0x02, 0x03})});
  EXPECT_EQ(session.ProgramFile(files, false), GetParam().expected);
  EXPECT_EQ(link.timeouts, GetParam().timeouts);
  EXPECT_EQ(session.Counts().programmed, 0u);
}

// The replies of AcceptChunk with the reply at `index` (0..3) left out or replaced.
std::function<void(ScriptedLink&)> ChunkWith(int index, std::optional<uint8_t> reply) {
  return [=](ScriptedLink& link) {
    const std::size_t after[] = {2, 10, 14, 16};
    const uint8_t normal[] = {0x06, 0x11, 0x11, 0x06};
    for (int i = 0; i < 4; ++i) {
      if (i != index) link.ReplyAfter(after[i], {normal[i]});
      else if (reply) link.ReplyAfter(after[i], {*reply});
    }
  };
}

std::function<void(ScriptedLink&)> ChunkFailingWrite(int call) {
  return [=](ScriptedLink& link) {
    AcceptChunk(link, 0, 3);
    link.failWriteCall = call;
  };
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, ChunkFaults,
    testing::Values(
        ChunkFault{"NoCommandReply", ChunkWith(0, {}), {ErrorFlashWriteTimeout, 0x1000}, 1},
        ChunkFault{"NoAddressReply", ChunkWith(1, {}), {ErrorFlashWriteTimeout, 0x1000}, 1},
        ChunkFault{"NoDataReplyWithinFiveAttempts", ChunkWith(2, {}),
                   {ErrorFlashWriteTimeout, 0x1000}, 5},
        ChunkFault{"NoFinalReply", ChunkWith(3, {}), {ErrorFlashWriteTimeout, 0x1000}, 1},
        ChunkFault{"WrongCommandReply", ChunkWith(0, 0x15), {ErrorInternal, 893}, 0},
        ChunkFault{"WrongAddressReply", ChunkWith(1, 0x06), {ErrorInternal, 922}, 0},
        ChunkFault{"WrongDataReply", ChunkWith(2, 0x06), {ErrorInternal, 952}, 0},
        ChunkFault{"WrongFinalReply", ChunkWith(3, 0x11), {ErrorInternal, 984}, 0},
        ChunkFault{"ChecksumRejected", ChunkWith(3, 0x07), {ErrorFlashWriteChecksum, 0x1000}, 0},
        ChunkFault{"CommandWriteFails", ChunkFailingWrite(1), {ErrorInternal, 881}, 0},
        ChunkFault{"AddressWriteFails", ChunkFailingWrite(2), {ErrorInternal, 910}, 0},
        ChunkFault{"FirstAckWriteFails", ChunkFailingWrite(3), {ErrorInternal, 931}, 0},
        ChunkFault{"DataWriteFails", ChunkFailingWrite(4), {ErrorInternal, 940}, 0},
        ChunkFault{"SecondAckWriteFails", ChunkFailingWrite(5), {ErrorInternal, 961}, 0},
        ChunkFault{"ChecksumWriteFails", ChunkFailingWrite(6), {ErrorInternal, 970}, 0},
        ChunkFault{"AbortDuringAReplyWait",
                   [](ScriptedLink& link) { link.abortAfterReads = 1; },
                   {ErrorUserAbort, 0}, 1},
        ChunkFault{"LineHungUp", [](ScriptedLink& link) { link.hungUp = true; },
                   {ErrorFlashWriteTimeout, 0x1000}, 1}),
    [](const testing::TestParamInfo<ChunkFault>& info) { return std::string(info.param.name); });

TEST(KernelSession, ChunksBeforeARejectedOneStayCounted) {
  ScriptedLink link;
  AcceptChunk(link, 0, 2);
  AcceptChunk(link, 16 - 1, 2, 0x07);
  const Job job = TxA10Job();
  CKernelSession session(link, job, nullptr);
  CProgramFileSet files =
      OpenFiles({SRecord(1, 0x1000, {0x01, 0x02}), SRecord(1, 0x2000, {0x03, 0x04})});
  EXPECT_EQ(session.ProgramFile(files, false), (Result{ErrorFlashWriteChecksum, 0x2000}));
  EXPECT_EQ(session.Counts().programmed, 2u);
}

// The erase of LB1 and SB0 of TX-A10, and what goes wrong with it.
struct EraseCase {
  const char* name;
  std::vector<std::string> selected;
  std::function<void(ScriptedLink&)> script;
  Result expected;
  std::size_t writtenBytes;
};

class EraseCases : public testing::TestWithParam<EraseCase> {};

const std::vector<uint8_t> kEraseForm = {0x57, 0x02, 0x00, 0x00, 0x40, 0x00, 0x00, 0x01, 0xF0, 0x00};

void EraseAccepted(ScriptedLink& link) {
  link.ReplyAfter(10, {0x06});
  link.ReplyAfter(18, {0x06});
}

TEST_P(EraseCases, SendTheBlockListInMapOrder) {
  ScriptedLink link;
  GetParam().script(link);
  Job job = TxA10Job();
  job.m_astrSelectedBlocks = GetParam().selected;
  CKernelSession session(link, job, nullptr);
  EXPECT_EQ(session.EraseBlocks(), GetParam().expected);
  ASSERT_EQ(link.written.size(), GetParam().writtenBytes);
  std::vector<uint8_t> expected = kEraseForm;
  expected.resize(18, 0x00);
  expected.resize(GetParam().writtenBytes);
  EXPECT_EQ(link.written, expected);
}

std::function<void(ScriptedLink&)> EraseFailingWrite(int call) {
  return [=](ScriptedLink& link) {
    EraseAccepted(link);
    link.failWriteCall = call;
  };
}

const std::vector<std::string> kLb1Sb0 = {"SB0", "LB1"};

INSTANTIATE_TEST_SUITE_P(
    Protocol, EraseCases,
    testing::Values(
        EraseCase{"Erased", kLb1Sb0, EraseAccepted, {}, 18},
        EraseCase{"NoSelectedBlockOfTheMap", {"XB9"}, EraseAccepted, {}, 0},
        EraseCase{"EraseFailed", kLb1Sb0, [](ScriptedLink& l) { l.ReplyAfter(10, {0x07}); },
                  {ErrorBlockEraseFailed, 2}, 10},
        EraseCase{"NoEraseResult", kLb1Sb0, [](ScriptedLink&) {}, {ErrorBlockEraseTimeout, 0}, 10},
        EraseCase{"NoFinalByte", kLb1Sb0, [](ScriptedLink& l) { l.ReplyAfter(10, {0x06}); },
                  {ErrorBlockEraseTimeout, 0}, 18},
        EraseCase{"CommandWriteFails", kLb1Sb0, EraseFailingWrite(1), {ErrorInternal, 1124}, 0},
        EraseCase{"CountWriteFails", kLb1Sb0, EraseFailingWrite(2), {ErrorInternal, 1133}, 1},
        EraseCase{"ListWriteFails", kLb1Sb0, EraseFailingWrite(3), {ErrorInternal, 1142}, 2},
        EraseCase{"TrailerWriteFails", kLb1Sb0, EraseFailingWrite(4), {ErrorInternal, 1191}, 10},
        EraseCase{"AbortDuringTheEraseWait", kLb1Sb0,
                  [](ScriptedLink& l) { l.abortAfterReads = 3; }, {ErrorUserAbort, 0}, 10}),
    [](const testing::TestParamInfo<EraseCase>& info) { return std::string(info.param.name); });

TEST(KernelSession, WaitsTwentyAttemptsForTheEraseResult) {
  ScriptedLink link;
  Job job = TxA10Job();
  job.m_astrSelectedBlocks = kLb1Sb0;
  CKernelSession session(link, job, nullptr);
  EXPECT_EQ(session.EraseBlocks(), (Result{ErrorBlockEraseTimeout, 0}));
  EXPECT_EQ(link.timeouts, 20);
}

TEST(KernelSession, PreEraseComesBeforeTheFirstChunk) {
  ScriptedLink link;
  link.ReplyAfter(6, {0x06});  // 0x57, one block, LB0 at 0
  link.ReplyAfter(14, {0x06});
  AcceptChunk(link, 14, 3);
  Job job = TxA10Job();
  job.m_astrSelectedBlocks = {"LB0"};
  CKernelSession session(link, job, nullptr);
  CProgramFileSet files = OpenFiles({SRecord(1, 0x1000, {0x01, 0x02, 0x03})});
  EXPECT_EQ(session.ProgramFile(files, true), Result{});
  const std::vector<uint8_t> erase = {0x57, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(link.written, erase + ChunkBytes(0x1000, {0x01, 0x02, 0x03}));
}

// A boot of the two-byte kernel A1 A2 against a boot ROM that answers everything correctly.
void BootRomAccepts(ScriptedLink& link) {
  link.ReplyAfter(10, {0x00});  // any byte: the rate is found
  const uint8_t echoes[] = {0xAA, 0x00, 0x02, 0xA1, 0xA2};
  for (std::size_t i = 0; i < 5; ++i) link.ReplyAfter(11 + i, {echoes[i]});
  link.ReplyAfter(15, {0x00});  // erase-all report: done
}

const std::vector<uint8_t> kKernel = {0xA1, 0xA2};

struct BootCase {
  const char* name;
  std::function<void(ScriptedLink&)> script;
  Result expected;
  int timeouts;
};

class BootCases : public testing::TestWithParam<BootCase> {};

TEST_P(BootCases, EndWithTheirKindAndDetail) {
  ScriptedLink link;
  GetParam().script(link);
  const Job job = TxA10Job();
  ProgressLog log;
  CBootSession session(link, job, log.Callback());
  CProgramFileSet files = OpenFiles({"S9030000FC"});
  EXPECT_EQ(session.BootProgram(kKernel, files), GetParam().expected);
  EXPECT_EQ(link.timeouts, GetParam().timeouts);
  if (GetParam().expected.ok()) {
    std::vector<uint8_t> expected(10, 0x00);
    expected.insert(expected.end(), {0x55, 0x00, 0x02, 0xA1, 0xA2});
    EXPECT_EQ(link.written, expected);
    std::vector<int32_t> phases;
    for (const Progress& p : log.steps) {
      if (phases.empty() || phases.back() != p.phase) phases.push_back(p.phase);
    }
    EXPECT_EQ(phases, (std::vector<int32_t>{PhaseSync, PhaseKernelLoad, PhaseBootErase,
                                            PhaseProgram}));
  }
}

// The boot ROM's replies with the echo of download byte `index` left out or replaced.
std::function<void(ScriptedLink&)> EchoWith(std::size_t index, std::optional<uint8_t> echo) {
  return [=](ScriptedLink& link) {
    link.ReplyAfter(10, {0x00});
    const uint8_t echoes[] = {0xAA, 0x00, 0x02, 0xA1, 0xA2};
    for (std::size_t i = 0; i < 5; ++i) {
      if (i != index) link.ReplyAfter(11 + i, {echoes[i]});
      else if (echo) link.ReplyAfter(11 + i, {*echo});
      if (i == index) break;
    }
  };
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, BootCases,
    testing::Values(
        BootCase{"Booted", BootRomAccepts, {}, 0},
        BootCase{"NoSyncReplyWithinFiveAttempts", [](ScriptedLink&) {},
                 {ErrorBootSyncTimeout, 0}, 5},
        BootCase{"SyncWriteFails",
                 [](ScriptedLink& l) { l.failWriteCall = 1; }, {ErrorInternal, 606}, 0},
        BootCase{"StartByteNotAnswered", EchoWith(0, {}), {ErrorBootLoadTimeout, 0}, 3},
        BootCase{"StartByteEchoedUnchanged", EchoWith(0, 0x55), {ErrorBootLoadEcho, 0}, 0},
        BootCase{"KernelByteEchoedWrong", EchoWith(4, 0xA1), {ErrorBootLoadEcho, 4}, 0},
        BootCase{"KernelByteNotEchoed", EchoWith(3, {}), {ErrorBootLoadTimeout, 3}, 3},
        BootCase{"DownloadWriteFails",
                 [](ScriptedLink& l) {
                   BootRomAccepts(l);
                   l.failWriteCall = 3;
                 },
                 {ErrorInternal, 666}, 0},
        BootCase{"NoEraseReport", EchoWith(5, {}), {ErrorBootEraseTimeout, 0}, 20},
        BootCase{"EraseFailed",
                 [](ScriptedLink& l) {
                   EchoWith(5, {})(l);
                   l.ReplyAfter(15, {0xFF});
                 },
                 {ErrorBootEraseFailed, 0}, 0},
        BootCase{"AbortDuringTheDownload",
                 [](ScriptedLink& l) {
                   BootRomAccepts(l);
                   l.abortAfterReads = 3;
                 },
                 {ErrorUserAbort, 0}, 0}),
    [](const testing::TestParamInfo<BootCase>& info) { return std::string(info.param.name); });

TEST(BootSession, RefusesAnEmptyKernelAfterTheSync) {
  ScriptedLink link;
  BootRomAccepts(link);
  const Job job = TxA10Job();
  CBootSession session(link, job, nullptr);
  CProgramFileSet files = OpenFiles({"S9030000FC"});
  EXPECT_EQ(session.BootProgram({}, files), (Result{ErrorInternal, 642}));
  EXPECT_EQ(link.written.size(), 10u);
}

}  // namespace
}  // namespace quill
