// The simulated board's model alone, driven with arbitrary host bytes and options: no line, no
// thread, so every input runs in microseconds.
//
// Input: byte 0 the board: bits 0-1 the device (modulo 3), bit 2 the kernel already running,
// bit 3 the real kernel (the built-in stand-in of the clock range) instead of a short one of
// bits 4-5 bytes (A5 5A C3); byte 1 mode (bit 0) and clock range (bits 4-7, clamped); bytes 2
// and 3 the sync reply and the erase-all report; byte 4 the number of faults (modulo 4), each 4
// bytes: step (modulo 9), action (modulo 5), index (modulo 8), the byte or delay. The rest is
// what the host sends.
//
// Checked after every byte: at most one reply per step, each for the step the host's bytes just
// completed and, where no fault was asked for at that step, the one the protocol prescribes;
// nothing after a hang-up or a hang; and the flash changes only through a programmed chunk inside
// the flash, an erase command the board took, or a downloaded kernel's erase-all.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/require.h"
#include "sim/board_model.h"

namespace {

using namespace quill;
using namespace quill::sim;

struct Input {
  ModelOptions options;
  const uint8_t* host = nullptr;
  std::size_t hostSize = 0;
};

bool Decode(const uint8_t* data, std::size_t size, Input& in) {
  if (size < 5) return false;
  ModelOptions& o = in.options;
  o.device = (data[0] & 0x03) % 3;
  o.state = (data[0] & 0x04) ? BoardState::User : BoardState::Boot;
  if (!(data[0] & 0x08)) {
    static constexpr uint8_t kShortKernel[] = {0xA5, 0x5A, 0xC3};
    const std::vector<uint8_t> kernel(kShortKernel, kShortKernel + ((data[0] >> 4) & 3));
    o.kernel = [kernel](uint32_t) { return kernel; };
  }
  o.mode = data[1] & 1;
  o.clock = data[1] >> 4;
  o.syncReply = data[2];
  o.eraseReport = data[3];
  std::size_t at = 5;
  for (int i = 0; i < data[4] % 4 && at + 4 <= size; ++i, at += 4) {
    Fault f;
    f.step = static_cast<Step>(data[at] % 9);
    f.action = static_cast<FaultAction>(data[at + 1] % 5);
    f.index = data[at + 2] % 8;
    f.byte = data[at + 3];
    f.delayMs = data[at + 3];
    o.faults.push_back(f);
  }
  in.host = data + at;
  in.hostSize = size - at;
  return true;
}

uint32_t Be32(const std::vector<uint8_t>& host, std::size_t from) {
  return (uint32_t{host[from]} << 24) | (uint32_t{host[from + 1]} << 16) |
         (uint32_t{host[from + 2]} << 8) | host[from + 3];
}

// Watches one model: what it was asked to do, its flash as the rules allow it to change.
class Checker {
 public:
  explicit Checker(const BoardModel& model) : model_(model), shadow_(model.Flash()) {}

  void Check(uint8_t byte, const std::vector<Output>& outputs);
  void CheckFlash() const { REQUIRE(model_.Flash() == shadow_); }

 private:
  bool Faulted(Step step) const {
    for (const Fault& f : model_.Options().faults)
      if (f.step == step) return true;
    return false;
  }
  void CheckReply(const Output& out);
  uint8_t Right(Step step) const;
  bool FollowFlash();

  const BoardModel& model_;
  std::vector<uint8_t> shadow_;
  std::vector<uint8_t> host_;
  bool ended_ = false;  // hung up, or hung
  std::size_t chunks_ = 0, erases_ = 0;
  int erasures_ = 0, boots_ = 0;
};

// The reply the protocol prescribes for the step the last host byte completed, worked out from
// the host's bytes alone.
uint8_t Checker::Right(Step step) const {
  const std::size_t n = host_.size();
  const DeviceMode& m = model_.Mode();
  switch (step) {
    case Step::Sync: return model_.Options().syncReply;
    case Step::Echo: return host_.back();  // the start byte's 0xAA is let through by CheckReply
    case Step::BootErase: return model_.Options().eraseReport;
    case Step::BlockErase: {
      const EraseRecord& e = model_.EraseCommands().back();
      REQUIRE(n >= 4 * e.starts.size());
      bool valid = e.starts.size() <= 16;
      for (std::size_t i = 0; i < e.starts.size(); ++i) {
        REQUIRE(e.starts[i] == Be32(host_, n - 4 * e.starts.size() + 4 * i));
        valid = valid && std::any_of(m.blocks, m.blocks + m.blockCount,
                                     [&](const FlashBlock& b) { return b.start == e.starts[i]; });
      }
      REQUIRE(e.erased == valid);
      return valid ? kAck : kNak;
    }
    case Step::BlockEraseFinal:
    case Step::ChunkCommand: return kAck;
    case Step::ChunkAddress: {
      const uint32_t a = Be32(host_, n - 8), count = Be32(host_, n - 4);
      const uint64_t end = uint64_t{a} + count - (count ? 1 : 0);
      return a >= m.flashLowest && end <= m.flashHighest ? kGo : kNak;
    }
    case Step::ChunkData: return kGo;
    case Step::ChunkChecksum: {
      const ChunkRecord& c = model_.Chunks().back();
      REQUIRE(n >= c.data.size() + 2 && host_[n - 2] == kGo);
      REQUIRE(std::equal(c.data.begin(), c.data.end(), host_.end() - 2 - c.data.size()));
      unsigned sum = 0;
      for (uint8_t b : c.data) sum += b;
      const bool right = host_.back() == static_cast<uint8_t>(~sum);
      const bool inside = c.address >= m.flashLowest &&
                          uint64_t{c.address} + c.data.size() - (c.data.empty() ? 0 : 1) <= m.flashHighest;
      REQUIRE(c.programmed == (right && inside));
      return right ? kAck : kNak;
    }
  }
  return 0;
}

void Checker::CheckReply(const Output& out) {
  const std::size_t n = host_.size();
  switch (out.step) {
    case Step::Sync:
      REQUIRE(n >= 10 && std::all_of(host_.end() - 10, host_.end(), [](uint8_t b) { return b == 0; }));
      break;
    case Step::ChunkCommand: REQUIRE(n >= 2 && host_[n - 2] == 0x57 && host_[n - 1] == 0x00); break;
    case Step::ChunkAddress: REQUIRE(n >= 10); break;
    case Step::BlockErase: REQUIRE(model_.EraseCommands().size() == erases_ + 1); break;
    case Step::ChunkChecksum: REQUIRE(model_.Chunks().size() == chunks_ + 1); break;
    default: break;
  }
  if (Faulted(out.step) || out.hangUp) return;
  REQUIRE(out.delay.count() == 0);
  if (out.step == Step::Echo && host_.back() == 0x55 && out.byte == 0xAA) return;
  REQUIRE(out.byte == Right(out.step));
}

// Follows the flash through what the model recorded; true when something may have changed.
bool Checker::FollowFlash() {
  bool changed = false;
  const DeviceMode& m = model_.Mode();
  for (; chunks_ < model_.Chunks().size(); ++chunks_, changed = true) {
    const ChunkRecord& c = model_.Chunks()[chunks_];
    // An empty chunk (a count of 0) writes nothing, wherever it points.
    if (!c.programmed || c.data.empty()) continue;
    REQUIRE(c.address >= m.flashLowest && uint64_t{c.address} + c.data.size() - 1 <= m.flashHighest);
    for (std::size_t i = 0; i < c.data.size(); ++i) shadow_[c.address - m.flashLowest + i] &= c.data[i];
  }
  for (; erases_ < model_.EraseCommands().size(); ++erases_, changed = true) {
    const EraseRecord& e = model_.EraseCommands()[erases_];
    if (!e.erased) continue;
    // A list a fault made the board take erases the blocks it names, and nothing else.
    for (uint32_t start : e.starts) {
      const FlashBlock* block = std::find_if(m.blocks, m.blocks + m.blockCount,
                                             [start](const FlashBlock& b) { return b.start == start; });
      if (block == m.blocks + m.blockCount) continue;
      std::fill(shadow_.begin() + (block->start - m.flashLowest),
                shadow_.begin() + (block->end - m.flashLowest) + 1, 0xFF);
    }
  }
  if (model_.FlashErasures() != erasures_) {
    REQUIRE(model_.FlashErasures() == erasures_ + 1);
    ++erasures_;
    std::fill(shadow_.begin(), shadow_.end(), 0xFF);
    changed = true;
  }
  return changed;
}

void Checker::Check(uint8_t byte, const std::vector<Output>& outputs) {
  host_.push_back(byte);
  if (ended_) REQUIRE(outputs.empty());
  REQUIRE(outputs.size() <= 2);
  if (outputs.size() == 2) REQUIRE(outputs[0].step == Step::Echo && outputs[1].step == Step::BootErase);
  for (const Output& out : outputs) {
    CheckReply(out);
    if (out.hangUp) REQUIRE(model_.HungUp() && &out == &outputs.back());
  }
  if (model_.BootCount() != boots_) {
    REQUIRE(model_.BootCount() == boots_ + 1 && !outputs.empty() &&
            outputs.back().step == Step::BootErase);
    ++boots_;
  }
  ended_ = ended_ || model_.HungUp() || model_.Hung();
  if (FollowFlash()) CheckFlash();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Input in;
  if (!Decode(data, size, in)) return 0;
  BoardModel model(in.options);
  model.SetLineRate(9600);
  Checker checker(model);
  for (std::size_t i = 0; i < in.hostSize; ++i) checker.Check(in.host[i], model.Receive(in.host[i]));
  checker.CheckFlash();
  REQUIRE(model.Flash().size() == model.Mode().flashHighest - model.Mode().flashLowest + 1u);
  return 0;
}
