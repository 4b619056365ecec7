// A TAVEO target board in software. It owns a pseudo-terminal whose slave side the host opens as
// its serial port, and answers on it as the on-chip boot ROM (synchronisation and kernel download)
// and as the downloaded flash kernel (the 0x57 erase and programming command) do. It keeps the
// flash image of one device mode, checks the line settings the host chose on every byte it
// receives, can pace its bytes at the host's data rate, and can be told to misbehave at any step.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quill::sim {

// Boot: the boot ROM waits for the synchronisation bytes. User: a kernel runs and waits for
// commands.
enum class BoardState { Boot, User };

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

enum class LogKind {
  FromHost,  // bytes the host sent, as read (hexadecimal)
  ToHost,    // bytes the board sent, as written
  Event,     // a step of the protocol: synchronised, kernel running, chunk programmed...
  Error,     // the same text that Errors() records
};

struct BoardOptions {
  int device = 0;  // catalogue index
  int mode = 0;    // mode index of that device
  int clock = 0;   // clock-range index: selects the kernel the boot ROM expects and its boot rates
  BoardState state = BoardState::Boot;
  uint32_t expectBaud = 0;  // 0: any rate the catalogue permits in the current state
  bool pace = false;        // bytes take their line time (10 bits) at the host's current rate
  std::vector<Fault> faults;
  uint8_t syncReply = 0x00;
  uint8_t eraseReport = 0x00;  // the erase-all report of a kernel that erased the flash
  // Where the kernel the boot ROM expects comes from: empty for the kernel store the host uses
  // (an installed kernel, else the built-in stand-in); else this folder's <id>.bin, else the
  // stand-in.
  std::string kernelDir;
  bool announce = false;       // a link to the port in PortAnnounceDirectory()
  std::string announceName;    // its name; empty: "sim-<pid>-<n>"
  // Called on the serving thread while the board is locked: it must not call the board.
  std::function<void(LogKind, std::string_view)> log;
};

class SimBoard {
 public:
  struct EraseCommand {
    std::vector<uint32_t> starts;  // as received, in order
    bool erased = false;           // the board erased them and reported success
  };
  struct Chunk {
    uint32_t address = 0;
    std::vector<uint8_t> data;
    bool programmed = false;  // checksum right and written; false for a 0x07 or a fault
  };

  explicit SimBoard(BoardOptions options);
  ~SimBoard();  // Stop()
  SimBoard(const SimBoard&) = delete;
  SimBoard& operator=(const SimBoard&) = delete;

  // Opens the pseudo-terminal, writes the announcement link if asked and starts serving.
  bool Start(std::string* error);
  // Stops serving, closes the line and removes the announcement link. The recorded traffic and
  // the flash stay readable.
  void Stop();

  // The slave path the host opens, /dev/pts/N; empty before Start.
  const std::string& PortPath() const;
  // The announcement link's full path; empty when none was made.
  const std::string& AnnouncePath() const;
  const BoardOptions& Options() const;

  // Puts the board back at the start of the given state, as a reset of the target would: a hang
  // after a Silent fault or a wrong kernel ends, a half-received command is forgotten. Faults
  // already done stay done. No effect after a hang-up.
  void Reset(BoardState state);

  // The flash of the mode, flashLowest..flashHighest; erased bytes are 0xFF.
  std::vector<uint8_t> Flash() const;
  // Replaces the flash; a shorter image leaves the rest erased, a longer one is refused.
  bool SetFlash(const std::vector<uint8_t>& image, std::string* error);
  bool LoadFlash(const std::string& path, std::string* error);  // raw binary
  bool SaveFlash(const std::string& path, std::string* error) const;

  // Everything the board found wrong, in order: line settings (rate, not 8N1, flow control,
  // translation or echo on), a wrong kernel, bytes out of protocol, an erase of an address that is
  // no block start, programming a 0 bit back to 1, a chunk outside the flash.
  std::vector<std::string> Errors() const;
  std::vector<uint8_t> Received() const;  // every byte the host sent, in order
  std::vector<uint8_t> Sent() const;      // every byte the board sent, in order
  std::vector<EraseCommand> EraseCommands() const;
  std::vector<Chunk> Chunks() const;  // every programming command whose checksum arrived
  int BootCount() const;  // downloads of the right kernel whose erase-all report said success

  BoardState State() const;
  bool Hung() const;    // silent after a Silent fault or a wrong kernel, until Reset
  bool HungUp() const;  // the line was closed by a HangUp fault

  // Waits, without polling from the caller, until the board has taken every byte the host wrote,
  // sent every reply, and waits at a boundary: for synchronisation, for a command, or hung.
  bool WaitUntilIdle(std::chrono::milliseconds timeout) const;
  bool WaitForState(BoardState state, std::chrono::milliseconds timeout) const;
  bool WaitForReceived(std::size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForHangUp(std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Fault specs as the quill-sim command line writes them: ACTION:STEP[:INDEX], ACTION one of
// silent, wrong[=BYTE], fail, delay=MS, hangup; STEP one of sync, echo, boot-erase, erase,
// erase-final, chunk-command, chunk-address, chunk-data, checksum. Example: "wrong=0x00:echo:2".
bool ParseFault(std::string_view text, Fault* fault, std::string* error);
std::string_view StepName(Step step);

}  // namespace quill::sim
