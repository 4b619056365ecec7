// A TAVEO target board in software. It owns a pseudo-terminal whose slave side the host opens as
// its serial port (or, asked to listen, a TCP port it serves as a port server does, with the
// Telnet Com Port Control Option), and answers on it as the on-chip boot ROM (synchronisation and kernel download)
// and as the downloaded flash kernel (the 0x57 erase and programming command) do. The protocol,
// the flash image of one device mode and the faults are the BoardModel's (sim/board_model.h);
// this is the line around it: it serves the pseudo-terminal on a thread of its own, checks the
// line settings the host chose on every byte it receives, paces its bytes at the host's data rate
// when asked, and announces the port. Over TCP it can also obey DTR and RTS as an adapter board's
// VPP and Mode switches.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/control_lines.h"
#include "sim/board_model.h"
#include "sim/fault_plan.h"
#include "sim/net_line.h"

namespace quill::sim {

struct BoardOptions {
  int device = 0;  // catalogue index
  int mode = 0;    // mode index of that device
  int clock = 0;   // clock-range index: selects the kernel the boot ROM expects and its boot rates
  BoardState state = BoardState::Boot;
  uint32_t expectBaud = 0;  // 0: any rate the catalogue permits in the current state
  bool pace = false;        // bytes take their line time (10 bits) at the host's current rate
  // A USB serial adapter's chip between board and host: bytes to the host are held until this
  // many milliseconds have passed since the first one held, or 62 are held (0: none).
  uint32_t adapterLatencyMs = 0;
  std::vector<Fault> faults;
  uint8_t syncReply = 0x00;
  uint8_t eraseReport = 0x00;  // the erase-all report of a kernel that erased the flash
  // Where the kernel the boot ROM expects comes from: empty for the kernel store the host uses
  // (an installed kernel, else the built-in stand-in); else this folder's <id>.bin, else the
  // stand-in.
  std::string kernelDir;
  bool announce = false;       // a link to the port in PortAnnounceDirectory()
  std::string announceName;    // its name; empty: "sim-<pid>-<n>"
  // Serve the board on this TCP address as an RFC 2217 server, one client at a time, instead of
  // on a pseudo-terminal (nothing is announced then).
  std::optional<ListenAddress> listen;
  // With listen: obey the control lines as the adapter board's switches. VPP released: silent
  // (the host's bytes are dropped); VPP asserted: the boot ROM or the running kernel by the Mode
  // line; VPP released again: a reset, the flash kept. Without a map the lines change nothing.
  std::optional<LineMap> lines;
  // Called on the serving thread while the board is locked: it must not call the board.
  std::function<void(LogKind, std::string_view)> log;
};

// A DTR or RTS setting the host made, in order; also the drop of each asserted line when the
// host goes away (a port server closes the port then).
struct LineChange {
  std::chrono::steady_clock::time_point at;
  ControlLine line = ControlLine::Dtr;
  bool asserted = false;
  bool changed = false;  // false: the line already was at that level
};

class SimBoard {
 public:
  using EraseCommand = EraseRecord;
  using Chunk = ChunkRecord;

  explicit SimBoard(BoardOptions options);
  ~SimBoard();  // Stop()
  SimBoard(const SimBoard&) = delete;
  SimBoard& operator=(const SimBoard&) = delete;

  // Opens the pseudo-terminal, writes the announcement link if asked and starts serving.
  bool Start(std::string* error);
  // Stops serving, closes the line and removes the announcement link. The recorded traffic and
  // the flash stay readable.
  void Stop();

  // The slave path the host opens, /dev/pts/N, or with listen the URL, rfc2217://HOST:PORT with
  // the port taken; empty before Start.
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
  // Every byte the host sent, in order, also what the board dropped while VPP was off.
  std::vector<uint8_t> Received() const;
  std::vector<uint8_t> Sent() const;      // every byte the board sent, in order
  std::vector<EraseCommand> EraseCommands() const;
  std::vector<Chunk> Chunks() const;  // every programming command whose checksum arrived
  int BootCount() const;  // downloads of the right kernel whose erase-all report said success

  std::vector<LineChange> LineChanges() const;
  // VPP on: always without a line map; with one, while the VPP line is asserted.
  bool Powered() const;

  BoardState State() const;
  bool Hung() const;    // silent after a Silent fault or a wrong kernel, until Reset
  bool HungUp() const;  // the line was closed by a HangUp fault

  // Waits, without polling from the caller, until the board has taken every byte the host wrote,
  // sent every reply, and waits at a boundary: for synchronisation, for a command, or hung.
  bool WaitUntilIdle(std::chrono::milliseconds timeout) const;
  bool WaitForState(BoardState state, std::chrono::milliseconds timeout) const;
  bool WaitForReceived(std::size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForHangUp(std::chrono::milliseconds timeout) const;
  bool WaitForLineChanges(std::size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForPowered(bool powered, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quill::sim
