// How the simulated board misbehaves: the faults it was given (which step, which occurrence, what
// instead of the right reply), each done once, and the count of the occurrences the fault indexes
// refer to.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quill::sim {

// The steps at which the board answers the host; each can be made to misbehave.
enum class Step {
  Sync,             // the one byte answering the ten 0x00 bytes
  Echo,             // the echo of download stream byte i (0xAA for the start byte 0x55)
  BootErase,        // the erase-all report after the download (0xFF: failed)
  BlockErase,       // the result of an erase command's block list (0x07: failed)
  BlockEraseFinal,  // the byte answering the eight 0x00 bytes of the erase form
  ChunkCommand,     // 0x06 answering 0x57 0x00
  ChunkAddress,     // 0x11 answering the address and count
  ChunkData,        // 0x11 answering the data bytes
  ChunkChecksum,    // 0x06 (programmed) or 0x07 (checksum error) answering the checksum
};

enum class FaultAction {
  Silent,    // send nothing and hang: every later byte is read and ignored until Reset
  WrongByte, // send `byte` instead (default 0x5A; for Echo the complement of the right echo)
  Fail,      // send the step's failure byte where it has one (BootErase 0xFF, BlockErase and
             // ChunkChecksum 0x07; nothing is erased or programmed); elsewhere as WrongByte
  Delay,     // send the right byte, but only after delayMs
  HangUp,    // close the line instead of answering: the host's port sees a hang-up
};

// One misbehaviour, done once: at the index-th occurrence of the step (counted from 0 over the
// board's life), except Echo, whose index is the byte's position in the download stream (0 the
// start byte, 1 and 2 the length, 3 + n image byte n) in the first download that reaches it.
// Chunk steps count programming commands, so all four steps of chunk k share index k; the erase
// steps count erase commands.
// After a reply the host would accept (any sync byte, an erase report other than 0xFF, an erase
// result other than 0x07, any final erase byte) the board carries on as usual; after one the host
// would reject, the kernel drops the command and waits for the next, and the boot ROM waits for a
// new synchronisation.
struct Fault {
  Step step = Step::Sync;
  FaultAction action = FaultAction::Silent;
  long index = 0;
  int byte = -1;    // WrongByte: the byte to send; -1 for the default
  int delayMs = 0;  // Delay
};

// Fault specs as the quill-sim command line writes them: ACTION:STEP[:INDEX], ACTION one of
// silent, wrong[=BYTE], fail, delay=MS, hangup; STEP one of sync, echo, boot-erase, erase,
// erase-final, chunk-command, chunk-address, chunk-data, checksum. Example: "wrong=0x00:echo:2".
bool ParseFault(std::string_view text, Fault* fault, std::string* error);
std::string_view StepName(Step step);

constexpr uint8_t kEraseFailedReport = 0xFF;  // the erase-all report of a failed erase
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x07;
constexpr uint8_t kGo = 0x11;

// Whether the host takes `sent` as the step's success when `right` was due.
bool HostAccepts(Step step, uint8_t sent, uint8_t right);

// What the board does for one reply, after the faults had their say.
struct Reply {
  enum class Kind { Send, Silent, HangUp };
  Step step = Step::Sync;
  long index = 0;  // the occurrence of the step
  Kind kind = Kind::Send;
  uint8_t byte = 0;
  std::chrono::milliseconds delay{0};  // later than due (a Delay fault)
  bool accepted = true;                // the host takes it as the step's success
  bool faulted = false;                // a fault decided it
};

class FaultPlan {
 public:
  // What the fault indexes count, besides the download stream position of Echo.
  enum class Counter { Sync, BootErase, EraseCommand, ChunkCommand };

  explicit FaultPlan(std::vector<Fault> faults);

  // Numbers the next occurrence of what the counter counts, from 0 over the board's life.
  long Next(Counter counter) { return counts_[static_cast<std::size_t>(counter)]++; }

  // The reply to occurrence index of step, where `right` is due. The first fault for that
  // occurrence not yet done decides it, and is done from then on.
  Reply Decide(Step step, long index, uint8_t right);

  const std::vector<Fault>& Faults() const { return faults_; }

 private:
  std::vector<Fault> faults_;
  std::vector<bool> done_;
  std::array<long, 4> counts_{};
};

}  // namespace quill::sim
