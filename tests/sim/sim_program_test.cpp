// The kernel's 0x57 command on the simulated board: programming chunks and erasing blocks.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim_board.h"
#include "tests/sim/raw_port.h"

namespace quill {
namespace {

using sim::BoardOptions;
using sim::BoardState;
using sim::SimBoard;
using test::RawPort;
using namespace std::chrono_literals;

constexpr int kTxA10 = 0;
constexpr int kTxC30 = 1;

class SimKernel : public ::testing::Test {
 protected:
  void Start(int device, std::vector<uint8_t> flash = {}) {
    BoardOptions o;
    o.device = device;
    o.state = BoardState::User;
    board_ = std::make_unique<SimBoard>(o);
    std::string error;
    if (!flash.empty()) {
      ASSERT_TRUE(board_->SetFlash(flash, &error)) << error;
    }
    ASSERT_TRUE(board_->Start(&error)) << error;
    ASSERT_TRUE(port_.Open(board_->PortPath(), {.rate = 9600}));
  }

  // One programming command as the host sends it; the four replies, -1 for a missing one.
  std::vector<int> Chunk(uint32_t address, const std::vector<uint8_t>& data, int checksum = -1) {
    unsigned sum = 0;
    for (uint8_t b : data) sum += b;
    uint8_t check = checksum >= 0 ? static_cast<uint8_t>(checksum) : static_cast<uint8_t>(~sum);
    std::vector<int> replies;
    port_.Write({0x57, 0x00});
    replies.push_back(port_.Read());
    if (replies.back() != 0x06) return replies;
    auto n = static_cast<uint32_t>(data.size());
    port_.Write({static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                 static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                 static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                 static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    replies.push_back(port_.Read());
    if (replies.back() != 0x11) return replies;
    port_.Write(0x11);
    port_.Write(data);
    replies.push_back(port_.Read());
    if (replies.back() != 0x11) return replies;
    port_.Write({0x11, check});
    replies.push_back(port_.Read());
    return replies;
  }

  std::vector<uint8_t> Sent() const { return board_->Sent(); }

  std::unique_ptr<SimBoard> board_;
  RawPort port_;
};

TEST_F(SimKernel, ChunkExchangeProgramsTheFlash) {
  Start(kTxC30);
  EXPECT_EQ(Chunk(0x1000, {0x01, 0x02, 0x03}), (std::vector<int>{0x06, 0x11, 0x11, 0x06}));
  ASSERT_TRUE(board_->WaitUntilIdle(2s));
  EXPECT_EQ(board_->Received(),
            (std::vector<uint8_t>{0x57, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x03, 0x11,
                                  0x01, 0x02, 0x03, 0x11, 0xF9}));
  std::vector<uint8_t> flash = board_->Flash();
  EXPECT_EQ(flash[0x0FFF], 0xFF);
  EXPECT_EQ(flash[0x1000], 0x01);
  EXPECT_EQ(flash[0x1001], 0x02);
  EXPECT_EQ(flash[0x1002], 0x03);
  EXPECT_EQ(flash[0x1003], 0xFF);
  ASSERT_EQ(board_->Chunks().size(), 1u);
  EXPECT_TRUE(board_->Chunks()[0].programmed);
  EXPECT_TRUE(board_->Errors().empty()) << board_->Errors().front();

  // The last byte of the flash is in reach; the byte after it is not.
  EXPECT_EQ(Chunk(0x7FFF, {0x42}), (std::vector<int>{0x06, 0x11, 0x11, 0x06}));
  EXPECT_EQ(Chunk(0x7FFF, {0x42, 0x43}), (std::vector<int>{0x06, 0x07}));
  EXPECT_EQ(board_->Errors().size(), 1u);
  EXPECT_EQ(board_->Flash()[0x7FFF], 0x42);
}

TEST_F(SimKernel, WrongChecksumIsRefusedAndNothingIsWritten) {
  Start(kTxC30);
  EXPECT_EQ(Chunk(0x2000, {0x10, 0x20}, 0x00), (std::vector<int>{0x06, 0x11, 0x11, 0x07}));
  EXPECT_EQ(board_->Flash()[0x2000], 0xFF);
  ASSERT_EQ(board_->Chunks().size(), 1u);
  EXPECT_FALSE(board_->Chunks()[0].programmed);
  // The kernel waits for the next command after the refusal.
  EXPECT_EQ(Chunk(0x2000, {0x10, 0x20}), (std::vector<int>{0x06, 0x11, 0x11, 0x06}));
  EXPECT_EQ(board_->Flash()[0x2001], 0x20);
}

TEST_F(SimKernel, ProgrammingOverProgrammedBitsIsAnErrorAndOnlyClearsBits) {
  std::vector<uint8_t> flash(0x8000, 0xFF);
  flash[0x3000] = 0x0F;
  Start(kTxC30, flash);
  EXPECT_EQ(Chunk(0x3000, {0xF1}), (std::vector<int>{0x06, 0x11, 0x11, 0x06}));
  EXPECT_EQ(board_->Flash()[0x3000], 0x01);
  ASSERT_EQ(board_->Errors().size(), 1u);
  EXPECT_NE(board_->Errors()[0].find("H'3000"), std::string::npos);
  // Clearing further bits of a programmed byte is what flash can do.
  EXPECT_EQ(Chunk(0x3000, {0x00}), (std::vector<int>{0x06, 0x11, 0x11, 0x06}));
  EXPECT_EQ(board_->Errors().size(), 1u);
}

TEST_F(SimKernel, EraseFormErasesTheNamedBlocks) {
  Start(kTxA10, std::vector<uint8_t>(0x20000, 0x00));
  port_.Write({0x57, 0x02, 0x00, 0x00, 0x40, 0x00, 0x00, 0x01, 0xF0, 0x00});
  EXPECT_EQ(port_.Read(), 0x06);
  port_.Write(std::vector<uint8_t>(8, 0x00));
  EXPECT_GE(port_.Read(), 0);
  ASSERT_TRUE(board_->WaitUntilIdle(2s));
  std::vector<uint8_t> f = board_->Flash();
  EXPECT_EQ(f[0x3FFF], 0x00);  // LB0 untouched
  EXPECT_EQ(f[0x4000], 0xFF);  // LB1
  EXPECT_EQ(f[0x7FFF], 0xFF);
  EXPECT_EQ(f[0x8000], 0x00);  // LB2 untouched
  EXPECT_EQ(f[0x1EFFF], 0x00);
  EXPECT_EQ(f[0x1F000], 0xFF);  // SB0
  EXPECT_EQ(f[0x1F1FF], 0xFF);
  EXPECT_EQ(f[0x1F200], 0x00);  // SB1 untouched
  ASSERT_EQ(board_->EraseCommands().size(), 1u);
  EXPECT_EQ(board_->EraseCommands()[0].starts, (std::vector<uint32_t>{0x4000, 0x1F000}));
  EXPECT_TRUE(board_->EraseCommands()[0].erased);
  EXPECT_TRUE(board_->Errors().empty()) << board_->Errors().front();
}

TEST_F(SimKernel, EraseOfAnAddressThatStartsNoBlockFails) {
  Start(kTxA10, std::vector<uint8_t>(0x20000, 0x00));
  port_.Write({0x57, 0x01, 0x00, 0x00, 0x40, 0x01});
  EXPECT_EQ(port_.Read(), 0x07);
  EXPECT_EQ(board_->Flash()[0x4001], 0x00);
  ASSERT_EQ(board_->Errors().size(), 1u);
  EXPECT_NE(board_->Errors()[0].find("no block start"), std::string::npos);
  // Back at a command boundary: a chunk goes through.
  EXPECT_EQ(Chunk(0x4001, {0x00}), (std::vector<int>{0x06, 0x11, 0x11, 0x06}));
}

TEST_F(SimKernel, BytesOutOfProtocolAreRecorded) {
  Start(kTxC30);
  port_.Write({0x00, 0x57, 0x01, 0x00, 0x00, 0x10, 0x00});
  EXPECT_EQ(port_.Read(), 0x06);
  port_.Write({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01});  // not eight 0x00
  EXPECT_GE(port_.Read(), 0);
  ASSERT_TRUE(board_->WaitUntilIdle(2s));
  std::vector<std::string> errors = board_->Errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("outside a command"), std::string::npos);
  EXPECT_NE(errors[1].find("eight 0x00"), std::string::npos);
}

}  // namespace
}  // namespace quill
