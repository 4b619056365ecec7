// The simulated board's protocol, with no line around it: the on-chip boot ROM (synchronisation
// and kernel download with echo) and the downloaded flash kernel (the 0x57 erase and programming
// command) over the flash image of one device mode. The host's bytes go in one at a time and the
// replies come out, each with the delay a fault adds; the faults come from a FaultPlan. No
// pseudo-terminal, no thread and no clock: SimBoard times the replies and carries them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "device/catalogue.h"
#include "sim/fault_plan.h"

namespace quill::sim {

// Boot: the boot ROM waits for the synchronisation bytes. User: a kernel runs and waits for
// commands.
enum class BoardState { Boot, User };

enum class LogKind {
  FromHost,  // bytes the host sent, as read (hexadecimal)
  ToHost,    // bytes the board sent, as written
  Event,     // a step of the protocol: synchronised, kernel running, chunk programmed...
  Error,     // the same text that Errors() records
};

// One erase command of the kernel.
struct EraseRecord {
  std::vector<uint32_t> starts;  // as received, in order
  bool erased = false;           // the board erased them and reported success
};

// One programming command whose checksum arrived.
struct ChunkRecord {
  uint32_t address = 0;
  std::vector<uint8_t> data;
  bool programmed = false;  // checksum right and written; false for a 0x07 or a fault
};

struct ModelOptions {
  int device = 0;  // catalogue index; out-of-range indexes are clamped
  int mode = 0;    // mode index of that device
  int clock = 0;   // clock-range index: selects the kernel the boot ROM expects and its boot rates
  BoardState state = BoardState::Boot;
  uint32_t expectBaud = 0;  // 0: any rate the catalogue permits in the current state
  std::vector<Fault> faults;
  uint8_t syncReply = 0x00;
  uint8_t eraseReport = 0x00;  // the erase-all report of a kernel that erased the flash
  // The kernel the boot ROM expects for a kernel id, asked at the end of every download; unset:
  // the built-in stand-in.
  std::function<std::vector<uint8_t>(uint32_t id)> kernel;
  // Events and errors as they happen.
  std::function<void(LogKind, std::string_view)> log;
};

// What the board does in answer to one byte: send a byte, or close the line.
struct Output {
  Step step = Step::Sync;  // the step it answers
  bool hangUp = false;
  uint8_t byte = 0;
  std::chrono::milliseconds delay{0};  // how much later than due
};

class BoardModel {
 public:
  explicit BoardModel(ModelOptions options);

  // Takes one byte from the host; what the board does in answer, in order (at most two: the
  // echo of the last download byte is followed by the erase-all report).
  std::vector<Output> Receive(uint8_t byte);

  // The rate the host's line runs at now. Synchronisation happens at it, and the kernel keeps it.
  void SetLineRate(uint32_t bps) { lineRate_ = bps; }
  // The rates the host may use now: the one the board was told, the kernel's, the clock range's
  // boot rates, or the eight user rates of a kernel this board did not download.
  std::vector<uint32_t> ExpectedRates() const;

  // Back at the start of the given state, as after a reset of the target: a hang ends, a
  // half-received command is forgotten. Faults already done stay done. No effect after a hang-up.
  void Reset(BoardState state);

  // Waits for synchronisation or for a command, or answers nothing any more.
  bool AtBoundary() const;
  BoardState State() const { return state_; }
  bool Hung() const { return hung_; }      // silent after a Silent fault or a wrong kernel
  bool HungUp() const { return hungUp_; }  // a HangUp fault closed the line

  const ModelOptions& Options() const { return opt_; }  // device, mode and clock clamped
  const DeviceType& Device() const { return *device_; }
  const DeviceMode& Mode() const { return *mode_; }

  // The flash of the mode, flashLowest..flashHighest; erased bytes are 0xFF.
  const std::vector<uint8_t>& Flash() const { return flash_; }
  // Replaces the flash; a shorter image leaves the rest erased, a longer one is refused.
  bool SetFlash(const std::vector<uint8_t>& image, std::string* error);

  // Records what the line around the model found wrong (the host's line settings).
  void ReportError(const std::string& text) { Error(text); }
  // Everything the board found wrong, in order (see SimBoard::Errors).
  const std::vector<std::string>& Errors() const { return errors_; }
  const std::vector<EraseRecord>& EraseCommands() const { return eraseCommands_; }
  const std::vector<ChunkRecord>& Chunks() const { return chunks_; }
  // Downloads of the right kernel whose erase-all report the host accepted.
  int BootCount() const { return bootCount_; }
  // Times a downloaded kernel erased the whole flash (also when its report then said failure).
  int FlashErasures() const { return flashErasures_; }

 private:
  enum class Phase {
    // boot ROM
    SyncWait, StartWait, LengthHigh, LengthLow, Image,
    // kernel
    Idle, Count, EraseList, EraseTail, ChunkHeader, ChunkAck1, ChunkData, ChunkAck2, ChunkSum,
  };

  void Log(LogKind kind, const std::string& text);
  void Error(const std::string& text);
  bool Answer(const Reply& reply);
  void Drop();
  void StartField(Phase next, std::size_t length);
  const FlashBlock* BlockStartingAt(uint32_t address) const;

  void BootRom(uint8_t b);
  void Download(uint8_t b);
  void FinishDownload();
  bool ExpectedKernel(const std::vector<uint8_t>& expected, uint32_t kernelId);
  void Command(uint8_t b);
  void EraseBlocks();
  void EraseTail();
  void ChunkHeader();
  void ChunkAck(uint8_t b);
  void ChunkDataDone();
  void ChunkChecksum(uint8_t b);
  void Program(ChunkRecord& chunk);

  ModelOptions opt_;
  FaultPlan faults_;
  const DeviceType* device_ = nullptr;
  const DeviceMode* mode_ = nullptr;
  std::vector<Output>* out_ = nullptr;  // the replies of the byte being taken

  std::vector<uint8_t> flash_;
  std::vector<std::string> errors_;
  std::vector<EraseRecord> eraseCommands_;
  std::vector<ChunkRecord> chunks_;
  int bootCount_ = 0;
  int flashErasures_ = 0;

  BoardState state_ = BoardState::Boot;
  Phase phase_ = Phase::SyncWait;
  bool hung_ = false;
  bool hungUp_ = false;
  uint32_t lineRate_ = 0;
  // The kernel keeps the rate it was synchronised at; 0 when it was not downloaded by this board.
  uint32_t kernelRate_ = 0;

  int zeros_ = 0;
  long streamIndex_ = 0;
  uint32_t imageLength_ = 0;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> field_;  // bytes of the multi-byte field being received
  std::size_t fieldLength_ = 0;
  long current_ = 0;            // index of the erase or chunk command in progress
  uint32_t chunkAddress_ = 0;
  uint32_t chunkCount_ = 0;
  bool chunkInside_ = false;  // the chunk lies inside the flash
  std::vector<uint8_t> chunkData_;
};

}  // namespace quill::sim
