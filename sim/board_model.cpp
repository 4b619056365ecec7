#include "sim/board_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "kernels/kernel_store.h"

namespace quill::sim {
namespace {

constexpr int kSyncBytes = 10;
constexpr int kMaxEraseBlocks = 16;
constexpr uint32_t kMaxChunk = 64;
constexpr uint8_t kStartByte = 0x55;
constexpr uint8_t kStartEcho = 0xAA;
constexpr uint8_t kCommand = 0x57;
constexpr std::size_t kAddressAndCount = 8;  // the chunk header, and the erase form's closing zeros

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
  return buf;
}

std::string HexAddr(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "H'%lX", static_cast<unsigned long>(v));
  return buf;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += Hex2(b).substr(2);
  }
  return out;
}

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// What a received image is, for the message about a wrong kernel: the stand-ins carry a header
// naming their id, device, mode and clock range.
std::string DescribeImage(const std::vector<uint8_t>& image) {
  std::string got = std::to_string(image.size()) + " bytes";
  if (image.size() >= 16 && std::memcmp(image.data(), "QKRN", 4) == 0)
    got += " of kernel " + std::to_string((image[8] << 8) | image[9]) + " (device " +
           std::to_string(image[4]) + ", mode " + std::to_string(image[5]) + ", clock range " +
           std::to_string(image[6]) + ")";
  return got;
}

}  // namespace

BoardModel::BoardModel(ModelOptions options) : opt_(std::move(options)), faults_(opt_.faults) {
  opt_.device = std::clamp(opt_.device, 0, GetDeviceCount() - 1);
  device_ = GetDevice(opt_.device);
  opt_.mode = std::clamp(opt_.mode, 0, device_->modeCount - 1);
  mode_ = &device_->modes[opt_.mode];
  opt_.clock = std::clamp(opt_.clock, 0, mode_->clockRangeCount - 1);
  flash_.assign(mode_->flashHighest - mode_->flashLowest + 1, 0xFF);
  if (!opt_.kernel)
    opt_.kernel = [](uint32_t id) { return FindKernel(id, KernelStoreDirs{}).bytes; };
  state_ = opt_.state;
  Reset(opt_.state);
}

std::vector<Output> BoardModel::Receive(uint8_t b) {
  std::vector<Output> out;
  if (hung_ || hungUp_) return out;
  out_ = &out;
  switch (phase_) {
    case Phase::SyncWait:
    case Phase::StartWait: BootRom(b); break;
    case Phase::LengthHigh:
    case Phase::LengthLow:
    case Phase::Image: Download(b); break;
    case Phase::Idle:
    case Phase::Count: Command(b); break;
    case Phase::EraseList:
    case Phase::EraseTail:
    case Phase::ChunkHeader:
      field_.push_back(b);
      if (field_.size() < fieldLength_) break;
      if (phase_ == Phase::EraseList) EraseBlocks();
      else if (phase_ == Phase::EraseTail) EraseTail();
      else ChunkHeader();
      break;
    case Phase::ChunkAck1:
    case Phase::ChunkAck2: ChunkAck(b); break;
    case Phase::ChunkData:
      chunkData_.push_back(b);
      if (chunkData_.size() == chunkCount_) ChunkDataDone();
      break;
    case Phase::ChunkSum: ChunkChecksum(b); break;
  }
  out_ = nullptr;
  return out;
}

std::vector<uint32_t> BoardModel::ExpectedRates() const {
  if (opt_.expectBaud != 0) return {opt_.expectBaud};
  if (state_ == BoardState::User) {
    if (kernelRate_ != 0) return {kernelRate_};
    std::vector<uint32_t> rates;
    for (int i = 0; i < GetUserDataRateCount(); ++i) rates.push_back(GetUserDataRate(i));
    return rates;
  }
  const ClockRange& range = mode_->clockRanges[opt_.clock];
  return std::vector<uint32_t>(range.bootRates, range.bootRates + range.bootRateCount);
}

void BoardModel::Reset(BoardState state) {
  if (hungUp_) return;
  state_ = state;
  phase_ = state == BoardState::Boot ? Phase::SyncWait : Phase::Idle;
  zeros_ = 0;
  hung_ = false;
  kernelRate_ = 0;
}

bool BoardModel::AtBoundary() const {
  if (hung_ || hungUp_) return true;
  return (phase_ == Phase::SyncWait && zeros_ == 0) || phase_ == Phase::Idle;
}

bool BoardModel::SetFlash(const std::vector<uint8_t>& image, std::string* error) {
  if (image.size() > flash_.size()) {
    if (error)
      *error = "flash image of " + std::to_string(image.size()) + " bytes, the flash holds " +
               std::to_string(flash_.size());
    return false;
  }
  std::copy(image.begin(), image.end(), flash_.begin());
  std::fill(flash_.begin() + static_cast<std::ptrdiff_t>(image.size()), flash_.end(), 0xFF);
  return true;
}

void BoardModel::Log(LogKind kind, const std::string& text) {
  if (opt_.log) opt_.log(kind, text);
}

void BoardModel::Error(const std::string& text) {
  errors_.push_back(text);
  Log(LogKind::Error, text);
}

// Sends the reply (or does the fault in its place); true when the host carries on.
bool BoardModel::Answer(const Reply& r) {
  if (r.faulted) Log(LogKind::Event, "fault: " + std::string(StepName(r.step)) + " " + std::to_string(r.index));
  if (r.kind == Reply::Kind::Silent) {
    hung_ = true;
    Log(LogKind::Event, "silent from now on");
    return false;
  }
  if (r.kind == Reply::Kind::HangUp) {
    hungUp_ = true;
    out_->push_back({r.step, true, 0, {}});
    return false;
  }
  out_->push_back({r.step, false, r.byte, r.delay});
  if (!r.accepted) Drop();
  return r.accepted;
}

// After a reply the host rejects: it gives up, so the target starts over.
void BoardModel::Drop() {
  if (state_ == BoardState::Boot) {
    phase_ = Phase::SyncWait;
    zeros_ = 0;
  } else {
    phase_ = Phase::Idle;
  }
}

void BoardModel::StartField(Phase next, std::size_t length) {
  phase_ = next;
  field_.clear();
  fieldLength_ = length;
}

const FlashBlock* BoardModel::BlockStartingAt(uint32_t address) const {
  for (int i = 0; i < mode_->blockCount; ++i)
    if (mode_->blocks[i].start == address) return &mode_->blocks[i];
  return nullptr;
}

// --- the boot ROM ---

void BoardModel::BootRom(uint8_t b) {
  if (phase_ == Phase::SyncWait) {
    if (b != 0x00) {
      Error("boot ROM: byte " + Hex2(b) + " before synchronisation");
      zeros_ = 0;
      return;
    }
    if (++zeros_ < kSyncBytes) return;
    zeros_ = 0;
    const long index = faults_.Next(FaultPlan::Counter::Sync);
    if (Answer(faults_.Decide(Step::Sync, index, opt_.syncReply))) {
      phase_ = Phase::StartWait;
      kernelRate_ = lineRate_;
      Log(LogKind::Event, "synchronised at " + std::to_string(lineRate_) + " bps");
    }
    return;
  }
  if (b == 0x00) {
    // A host that starts over synchronises again.
    Error("boot ROM: synchronisation byte after the synchronisation reply");
    phase_ = Phase::SyncWait;
    zeros_ = 1;
    return;
  }
  if (b != kStartByte) {
    Error("boot ROM: byte " + Hex2(b) + " where the start byte 0x55 belongs");
    return;
  }
  streamIndex_ = 0;
  if (Answer(faults_.Decide(Step::Echo, streamIndex_, kStartEcho))) phase_ = Phase::LengthHigh;
}

void BoardModel::Download(uint8_t b) {
  ++streamIndex_;
  const Reply r = faults_.Decide(Step::Echo, streamIndex_, b);
  if (phase_ == Phase::LengthHigh) {
    imageLength_ = uint32_t{b} << 8;
    if (Answer(r)) phase_ = Phase::LengthLow;
    return;
  }
  if (phase_ == Phase::LengthLow) {
    imageLength_ |= b;
    image_.clear();
    if (!Answer(r)) return;
    phase_ = Phase::Image;
    if (imageLength_ == 0) FinishDownload();
    return;
  }
  image_.push_back(b);
  if (!Answer(r)) return;
  if (image_.size() == imageLength_) FinishDownload();
}

bool BoardModel::ExpectedKernel(const std::vector<uint8_t>& expected, uint32_t kernelId) {
  if (std::equal(image_.begin(), image_.end(), expected.begin(), expected.end())) return true;
  Error("boot ROM: wrong kernel: received " + DescribeImage(image_) + ", expected kernel " +
        std::to_string(kernelId) + " of " + std::to_string(expected.size()) + " bytes");
  // A wrong program runs off into the weeds: nothing answers any more.
  hung_ = true;
  return false;
}

void BoardModel::FinishDownload() {
  const uint32_t kernelId = mode_->clockRanges[opt_.clock].kernelId;
  if (!ExpectedKernel(opt_.kernel(kernelId), kernelId)) return;
  Log(LogKind::Event, "kernel " + std::to_string(kernelId) + " running");
  const Reply r =
      faults_.Decide(Step::BootErase, faults_.Next(FaultPlan::Counter::BootErase), opt_.eraseReport);
  // A Fail fault's kernel did not erase; a board told to report 0xFF did, and says otherwise.
  const bool failed = r.byte == kEraseFailedReport && opt_.eraseReport != kEraseFailedReport;
  if (!failed && r.kind == Reply::Kind::Send) {
    std::fill(flash_.begin(), flash_.end(), 0xFF);
    ++flashErasures_;
  }
  state_ = BoardState::User;
  phase_ = Phase::Idle;
  if (Answer(r)) {
    ++bootCount_;
    Log(LogKind::Event, "flash erased, kernel waits for commands");
  } else if (r.kind == Reply::Kind::Send) {
    state_ = BoardState::Boot;
    kernelRate_ = 0;
    Drop();
  }
}

// --- the kernel ---

void BoardModel::Command(uint8_t b) {
  if (phase_ == Phase::Idle) {
    if (b != kCommand) {
      Error("kernel: byte " + Hex2(b) + " outside a command");
      return;
    }
    phase_ = Phase::Count;
    return;
  }
  if (b == 0) {
    current_ = faults_.Next(FaultPlan::Counter::ChunkCommand);
    if (Answer(faults_.Decide(Step::ChunkCommand, current_, kAck)))
      StartField(Phase::ChunkHeader, kAddressAndCount);
    return;
  }
  if (b > kMaxEraseBlocks)
    Error("kernel: erase command for " + std::to_string(b) + " blocks, at most 16 exist");
  current_ = faults_.Next(FaultPlan::Counter::EraseCommand);
  StartField(Phase::EraseList, 4u * b);
}

void BoardModel::EraseBlocks() {
  EraseRecord cmd;
  bool valid = field_.size() <= 4u * kMaxEraseBlocks;
  for (std::size_t i = 0; i + 4 <= field_.size(); i += 4) {
    const uint32_t a = BigEndian32(&field_[i]);
    cmd.starts.push_back(a);
    if (!BlockStartingAt(a)) {
      Error("kernel: erase of " + HexAddr(a) + ", which is no block start");
      valid = false;
    }
  }
  const Reply r = faults_.Decide(Step::BlockErase, current_, valid ? kAck : kNak);
  if (r.accepted) {
    for (uint32_t a : cmd.starts)
      if (const FlashBlock* block = BlockStartingAt(a))
        std::fill(flash_.begin() + (block->start - mode_->flashLowest),
                  flash_.begin() + (block->end - mode_->flashLowest) + 1, 0xFF);
    cmd.erased = true;
    Log(LogKind::Event, "erased " + std::to_string(cmd.starts.size()) + " block(s)");
  }
  eraseCommands_.push_back(std::move(cmd));
  if (Answer(r)) StartField(Phase::EraseTail, kAddressAndCount);
}

void BoardModel::EraseTail() {
  if (std::any_of(field_.begin(), field_.end(), [](uint8_t v) { return v != 0; }))
    Error("kernel: erase command closed with " + HexBytes(field_) + " instead of eight 0x00 bytes");
  phase_ = Phase::Idle;
  Answer(faults_.Decide(Step::BlockEraseFinal, current_, kAck));
}

void BoardModel::ChunkHeader() {
  chunkAddress_ = BigEndian32(&field_[0]);
  chunkCount_ = BigEndian32(&field_[4]);
  chunkData_.clear();
  uint8_t right = kGo;
  if (chunkCount_ == 0) Error("kernel: programming command with count 0 at " + HexAddr(chunkAddress_));
  if (chunkCount_ > kMaxChunk)
    Error("kernel: chunk of " + std::to_string(chunkCount_) + " bytes at " +
          HexAddr(chunkAddress_) + ", at most 64 are sent");
  const uint64_t last = uint64_t{chunkAddress_} + chunkCount_ - (chunkCount_ ? 1 : 0);
  if (chunkAddress_ < mode_->flashLowest || last > mode_->flashHighest) {
    Error("kernel: chunk of " + std::to_string(chunkCount_) + " bytes at " +
          HexAddr(chunkAddress_) + " lies outside the flash");
    // Refused before any data is taken.
    right = kNak;
  }
  chunkInside_ = right == kGo;
  if (Answer(faults_.Decide(Step::ChunkAddress, current_, right))) phase_ = Phase::ChunkAck1;
}

void BoardModel::ChunkAck(uint8_t b) {
  if (b != kGo) {
    Error("kernel: " + Hex2(b) + " where the host's 0x11 acknowledgement belongs (chunk at " +
          HexAddr(chunkAddress_) + ")");
    phase_ = Phase::Idle;
    return;
  }
  if (phase_ == Phase::ChunkAck2) {
    phase_ = Phase::ChunkSum;
  } else if (chunkCount_ == 0) {
    ChunkDataDone();
  } else {
    phase_ = Phase::ChunkData;
  }
}

void BoardModel::ChunkDataDone() {
  if (Answer(faults_.Decide(Step::ChunkData, current_, kGo))) phase_ = Phase::ChunkAck2;
}

void BoardModel::ChunkChecksum(uint8_t b) {
  unsigned sum = 0;
  for (uint8_t v : chunkData_) sum += v;
  const auto expected = static_cast<uint8_t>(~sum);
  const bool ok = b == expected;
  if (!ok)
    Error("kernel: checksum " + Hex2(b) + " for the chunk at " + HexAddr(chunkAddress_) +
          ", the data sum to " + Hex2(expected));
  phase_ = Phase::Idle;
  const Reply r = faults_.Decide(Step::ChunkChecksum, current_, ok ? kAck : kNak);
  ChunkRecord chunk{chunkAddress_, chunkData_, false};
  // A chunk outside the flash is never written, even when a fault made the board take its data.
  if (ok && r.accepted && chunkInside_) Program(chunk);
  chunks_.push_back(std::move(chunk));
  Answer(r);
}

void BoardModel::Program(ChunkRecord& chunk) {
  const std::size_t base = chunk.address - mode_->flashLowest;
  bool reported = false;
  for (std::size_t i = 0; i < chunk.data.size(); ++i) {
    uint8_t& cell = flash_[base + i];
    if ((cell & chunk.data[i]) != chunk.data[i] && !reported) {
      // Flash programming only clears bits; setting one needs an erase first.
      Error("kernel: programming " + HexAddr(static_cast<uint32_t>(chunk.address + i)) + " (" +
            Hex2(cell) + ") with " + Hex2(chunk.data[i]) + " needs an erase first");
      reported = true;
    }
    cell &= chunk.data[i];
  }
  chunk.programmed = true;
}

}  // namespace quill::sim
