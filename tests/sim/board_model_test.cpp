// The board model alone, without a line: host bytes in, replies out, and what they do to the
// flash. Boot synchronisation, the kernel download with echo, the erase forms, chunk programming
// and every fault kind at a step.
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/board_model.h"
#include "tests/sim/raw_port.h"

namespace quill {
namespace {

using sim::BoardModel;
using sim::BoardState;
using sim::Fault;
using sim::ModelOptions;
using Bytes = std::vector<uint8_t>;

constexpr int kTxC30 = 1;  // flash 0..H'7FFF; SB0 H'0..H'7F, LB0 H'1000..H'1FFF
constexpr int kC30Clock2Kernel = 192;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Be32(uint32_t v) {
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

Bytes Sync() { return Bytes(10, 0x00); }

Bytes Download(const Bytes& image) {
  return Cat({{0x55, uint8_t(image.size() >> 8), uint8_t(image.size())}, image});
}

// The host's side of one programming command; checksum -1: the right one.
Bytes Chunk(uint32_t address, const Bytes& data, int checksum = -1) {
  unsigned sum = 0;
  for (uint8_t b : data) sum += b;
  const uint8_t check = checksum >= 0 ? uint8_t(checksum) : uint8_t(~sum);
  return Cat({{0x57, 0x00}, Be32(address), Be32(uint32_t(data.size())), {0x11}, data, {0x11, check}});
}

// The host's side of the erase form for the block starts.
Bytes Erase(const std::vector<uint32_t>& starts) {
  Bytes out = {0x57, uint8_t(starts.size())};
  for (uint32_t s : starts) out = Cat({out, Be32(s)});
  return Cat({out, Bytes(8, 0x00)});
}

struct Replies {
  Bytes replies;
  std::vector<int> delaysMs;
  bool hungUp = false;
};

Replies Feed(BoardModel& model, const Bytes& host) {
  Replies run;
  for (uint8_t b : host)
    for (const sim::Output& out : model.Receive(b)) {
      if (out.hangUp) {
        run.hungUp = true;
        continue;
      }
      run.replies.push_back(out.byte);
      run.delaysMs.push_back(static_cast<int>(out.delay.count()));
    }
  return run;
}

bool AnyErrorContains(const BoardModel& model, const std::string& text) {
  for (const std::string& e : model.Errors())
    if (e.find(text) != std::string::npos) return true;
  return false;
}

ModelOptions C30(BoardState state, std::vector<Fault> faults = {}) {
  ModelOptions o;
  o.device = kTxC30;
  o.clock = 2;
  o.state = state;
  o.faults = std::move(faults);
  return o;
}

Fault F(const std::string& spec) {
  Fault f;
  std::string error;
  EXPECT_TRUE(sim::ParseFault(spec, &f, &error)) << error;
  return f;
}

// --- boot synchronisation ---

struct SyncCase {
  const char* name;
  Bytes host;
  uint8_t syncReply;
  Bytes replies;
  const char* error;  // nullptr: none expected
};

void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.name; }

class ModelSync : public ::testing::TestWithParam<SyncCase> {};

TEST_P(ModelSync, AnswersTheTenthZeroOnly) {
  const SyncCase& c = GetParam();
  ModelOptions o = C30(BoardState::Boot);
  o.syncReply = c.syncReply;
  BoardModel model(o);
  EXPECT_EQ(Feed(model, c.host).replies, c.replies);
  if (c.error) {
    EXPECT_TRUE(AnyErrorContains(model, c.error));
  } else {
    EXPECT_TRUE(model.Errors().empty()) << model.Errors().front();
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ModelSync, ::testing::Values(
    SyncCase{"TenZeros", Sync(), 0x00, {0x00}, nullptr},
    SyncCase{"ConfiguredReply", Sync(), 0x42, {0x42}, nullptr},
    SyncCase{"NineZerosAreNotEnough", Bytes(9, 0x00), 0x00, {}, nullptr},
    SyncCase{"OtherByteStartsTheCountAgain", Cat({Bytes(9, 0), {0x01}, Bytes(9, 0)}), 0x00, {},
             "before synchronisation"},
    SyncCase{"ZeroAfterTheReplyCountsTowardsANewSync", Cat({Sync(), Sync()}), 0x00, {0x00, 0x00},
             "synchronisation byte after the synchronisation reply"},
    SyncCase{"StartByteMustFollow", Cat({Sync(), {0x33}}), 0x00, {0x00}, "start byte 0x55"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- kernel download with echo ---

TEST(ModelDownload, EchoesEveryByteThenErasesAllAndRunsTheKernel) {
  BoardModel model(C30(BoardState::Boot));
  model.SetLineRate(9600);
  ASSERT_TRUE(model.SetFlash(Bytes(0x8000, 0x00), nullptr));
  const Bytes stream = Download(test::KernelImage(kC30Clock2Kernel));
  Bytes expected = Cat({{0x00, 0xAA}, Bytes(stream.begin() + 1, stream.end()), {0x00}});
  EXPECT_EQ(Feed(model, Cat({Sync(), stream})).replies, expected);
  EXPECT_EQ(model.State(), BoardState::User);
  EXPECT_EQ(model.BootCount(), 1);
  EXPECT_EQ(model.Flash(), Bytes(0x8000, 0xFF));
  EXPECT_EQ(model.ExpectedRates(), std::vector<uint32_t>{9600});  // the kernel keeps its rate
  EXPECT_TRUE(model.Errors().empty());
}

TEST(ModelDownload, WrongKernelIsEchoedThenNothingAnswers) {
  BoardModel model(C30(BoardState::Boot));
  Bytes image = test::KernelImage(kC30Clock2Kernel);
  image[100] ^= 0x01;
  const Replies run = Feed(model, Cat({Sync(), Download(image), Chunk(0x1000, {1})}));
  EXPECT_EQ(run.replies.size(), 1 + 3 + image.size());  // sync and echoes; no report, no chunk
  EXPECT_TRUE(model.Hung());
  EXPECT_TRUE(AnyErrorContains(model, "wrong kernel"));
  EXPECT_EQ(model.BootCount(), 0);
}

// --- erase forms and chunk programming (the kernel running) ---

struct KernelCase {
  const char* name;
  Bytes host;
  Bytes replies;
  std::optional<std::pair<uint32_t, uint8_t>> flashByte;  // an address and what it then holds
  const char* error;
};

void PrintTo(const KernelCase& c, std::ostream* os) { *os << c.name; }

class ModelKernel : public ::testing::TestWithParam<KernelCase> {};

TEST_P(ModelKernel, RepliesAndFlash) {
  const KernelCase& c = GetParam();
  BoardModel model(C30(BoardState::User));
  ASSERT_TRUE(model.SetFlash(Bytes(0x2000, 0x00), nullptr));  // SB0..LB0 programmed to 0x00
  EXPECT_EQ(Feed(model, c.host).replies, c.replies);
  if (c.flashByte) {
    EXPECT_EQ(model.Flash()[c.flashByte->first], c.flashByte->second);
  }
  if (c.error) {
    EXPECT_TRUE(AnyErrorContains(model, c.error));
  } else {
    EXPECT_TRUE(model.Errors().empty()) << model.Errors().front();
  }
  EXPECT_TRUE(model.AtBoundary());
}

INSTANTIATE_TEST_SUITE_P(Cases, ModelKernel, ::testing::Values(
    KernelCase{"EraseTwoBlocks", Erase({0x0000, 0x1000}), {0x06, 0x06}, {{0x1FFF, 0xFF}}, nullptr},
    KernelCase{"EraseLeavesOtherBlocks", Erase({0x1000}), {0x06, 0x06}, {{0x0FFF, 0x00}}, nullptr},
    KernelCase{"EraseOfNoBlockStartFails", Erase({0x1001}), {0x07}, {{0x1001, 0x00}},
               "no block start"},
    KernelCase{"EraseClosedWithoutZeros", Cat({{0x57, 0x01}, Be32(0x1000), Bytes(7, 0), {0x01}}),
               {0x06, 0x06}, {{0x1000, 0xFF}}, "instead of eight 0x00 bytes"},
    KernelCase{"EraseOfSeventeenBlocks", Erase(std::vector<uint32_t>(17, 0)), {0x07}, {{0, 0x00}},
               "at most 16 exist"},
    KernelCase{"ChunkExchange", Cat({Erase({0x1000}), Chunk(0x1000, {0x01, 0x02, 0x03})}),
               {0x06, 0x06, 0x06, 0x11, 0x11, 0x06}, {{0x1002, 0x03}}, nullptr},
    KernelCase{"ChecksumErrorWritesNothing", Cat({Erase({0x1000}), Chunk(0x1000, {0x01}, 0x00)}),
               {0x06, 0x06, 0x06, 0x11, 0x11, 0x07}, {{0x1000, 0xFF}}, "checksum 0x00"},
    KernelCase{"ChunkOutsideTheFlashRefused", Chunk(0x7FFE, {1, 2, 3}), {0x06, 0x07}, {},
               "lies outside the flash"},
    KernelCase{"ChunkOverAWrappingAddressRefused", Chunk(0xFFFFFFFF, {1, 2}), {0x06, 0x07}, {},
               "lies outside the flash"},
    KernelCase{"ProgrammingWithoutEraseOnlyClearsBits", Chunk(0x1000, {0xF0}),
               {0x06, 0x11, 0x11, 0x06}, {{0x1000, 0x00}}, "needs an erase first"},
    KernelCase{"WrongAcknowledgementDropsTheCommand",
               Cat({{0x57, 0x00}, Be32(0x1000), Be32(1), {0x12}, Chunk(0x3000, {0x5A})}),
               {0x06, 0x11, 0x06, 0x11, 0x11, 0x06}, {{0x3000, 0x5A}}, "acknowledgement"},
    KernelCase{"ByteOutsideACommand", {0x99}, {}, {}, "outside a command"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- each fault kind at a step ---

struct FaultCase {
  const char* name;
  const char* fault;
  BoardState state;
  Bytes host;
  Bytes replies;
  bool hung;
  bool hungUp;
  int lastDelayMs;
  std::optional<std::pair<uint32_t, uint8_t>> flashByte;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.fault; }

class ModelFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ModelFaults, DoneOnceAtTheirStep) {
  const FaultCase& c = GetParam();
  BoardModel model(C30(c.state, {F(c.fault)}));
  ASSERT_TRUE(model.SetFlash(Bytes(0x2000, 0x00), nullptr));
  const Replies run = Feed(model, c.host);
  EXPECT_EQ(run.replies, c.replies);
  EXPECT_EQ(model.Hung(), c.hung);
  EXPECT_EQ(run.hungUp, c.hungUp);
  EXPECT_EQ(model.HungUp(), c.hungUp);
  if (!run.delaysMs.empty()) {
    EXPECT_EQ(run.delaysMs.back(), c.lastDelayMs);
  }
  if (c.flashByte) {
    EXPECT_EQ(model.Flash()[c.flashByte->first], c.flashByte->second);
  }
}

const Bytes kChunkAt1000 = Chunk(0x1000, {0x01, 0x02});
const Bytes kEraseThenChunk = Cat({Erase({0x1000}), Chunk(0x1000, {0x01, 0x02})});

INSTANTIATE_TEST_SUITE_P(Cases, ModelFaults, ::testing::Values(
    FaultCase{"SilentSync", "silent:sync", BoardState::Boot, Cat({Sync(), Sync()}), {}, true, false, 0, {}},
    FaultCase{"SecondSyncWrong", "wrong=0x77:sync:1", BoardState::Boot, Cat({Sync(), {0x00}, Sync()}),
              {0x00, 0x77}, false, false, 0, {}},
    FaultCase{"EchoComplementedThenNewSyncNeeded", "wrong:echo:0", BoardState::Boot,
              Cat({Sync(), {0x55}, Sync(), {0x55}}), {0x00, 0x55, 0x00, 0xAA}, false, false, 0, {}},
    FaultCase{"HangUpAtSync", "hangup:sync", BoardState::Boot, Cat({Sync(), {0x55}}), {}, false, true, 0, {}},
    FaultCase{"DelayedChunkCommand", "delay=700:chunk-command", BoardState::User, kChunkAt1000,
              {0x06, 0x11, 0x11, 0x06}, false, false, 0, {{0x1000, 0x00}}},
    FaultCase{"DelayedChecksumReply", "delay=250:checksum", BoardState::User, kChunkAt1000,
              {0x06, 0x11, 0x11, 0x06}, false, false, 250, {{0x1000, 0x00}}},
    FaultCase{"FailedChecksumWritesNothing", "fail:checksum", BoardState::User, kEraseThenChunk,
              {0x06, 0x06, 0x06, 0x11, 0x11, 0x07}, false, false, 0, {{0x1000, 0xFF}}},
    FaultCase{"FailedEraseErasesNothing", "fail:erase", BoardState::User, kEraseThenChunk,
              {0x07, 0x06, 0x11, 0x11, 0x06}, false, false, 0, {{0x1001, 0x00}}},
    FaultCase{"WrongFinalEraseByteIsAccepted", "wrong=0x99:erase-final", BoardState::User,
              kEraseThenChunk, {0x06, 0x99, 0x06, 0x11, 0x11, 0x06}, false, false, 0, {{0x1001, 0x02}}},
    FaultCase{"WrongAddressReplyDropsTheChunk", "wrong:chunk-address", BoardState::User,
              Cat({Chunk(0x1000, {0xF0}), Chunk(0x1000, {0x01})}), {0x06, 0x5A, 0x06, 0x11, 0x11, 0x06},
              false, false, 0, {{0x1000, 0x00}}},
    FaultCase{"SilentAtChunkData", "silent:chunk-data", BoardState::User, Cat({kChunkAt1000, kChunkAt1000}),
              {0x06, 0x11}, true, false, 0, {{0x1000, 0x00}}},
    FaultCase{"HangUpAtChecksumOfSecondChunk", "hangup:checksum:1", BoardState::User,
              Cat({kChunkAt1000, kChunkAt1000, kChunkAt1000}), {0x06, 0x11, 0x11, 0x06, 0x06, 0x11, 0x11},
              false, true, 0, {}},
    // A fault that makes the board take a chunk it refused never writes outside the flash.
    FaultCase{"ForcedChunkOutsideTheFlashWritesNothing", "wrong=0x11:chunk-address", BoardState::User,
              Chunk(0x7FFF, {0x00, 0x00}), {0x06, 0x11, 0x11, 0x06}, false, false, 0, {{0x7FFF, 0xFF}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelFaults, BootEraseFaultsDecideTheFlashAndTheState) {
  const Bytes boot = Cat({Sync(), Download(test::KernelImage(kC30Clock2Kernel))});
  struct Row {
    const char* fault;
    uint8_t report;
    uint8_t flash;  // byte 0 afterwards
    BoardState state;
  };
  for (const Row& row : {Row{"fail:boot-erase", 0xFF, 0x00, BoardState::Boot},
                         Row{"wrong=0x00:boot-erase", 0x00, 0xFF, BoardState::User},
                         Row{"delay=5:boot-erase", 0x00, 0xFF, BoardState::User}}) {
    BoardModel model(C30(BoardState::Boot, {F(row.fault)}));
    ASSERT_TRUE(model.SetFlash(Bytes(16, 0x00), nullptr));
    const Replies run = Feed(model, boot);
    ASSERT_FALSE(run.replies.empty());
    EXPECT_EQ(run.replies.back(), row.report) << row.fault;
    EXPECT_EQ(model.Flash()[0], row.flash) << row.fault;
    EXPECT_EQ(model.State(), row.state) << row.fault;
  }
}

TEST(ModelReset, EndsAHangButNotAHangUpAndFaultsStayDone) {
  BoardModel model(C30(BoardState::Boot, {F("silent:sync")}));
  EXPECT_TRUE(Feed(model, Sync()).replies.empty());
  EXPECT_TRUE(model.Hung());
  model.Reset(BoardState::Boot);
  EXPECT_EQ(Feed(model, Sync()).replies, Bytes{0x00});

  BoardModel cut(C30(BoardState::User, {F("hangup:chunk-command")}));
  EXPECT_TRUE(Feed(cut, kChunkAt1000).hungUp);
  cut.Reset(BoardState::User);
  EXPECT_TRUE(Feed(cut, kChunkAt1000).replies.empty());
}

}  // namespace
}  // namespace quill
