// The serial port's control lines as an adapter board's switches: which of DTR and RTS drives VPP
// and which drives the Mode switch. Read from a map such as "vpp=dtr,mode=rts" (the command
// line's --lines, the wizard's box beside "Automatic Mode", a job file), shared by quill-cli, the
// wizard and the simulated board.
#pragma once

#include <string>

namespace quill {

enum class ControlLine { Dtr, Rts };

// Asserted VPP line: VPP on. Asserted Mode line: Mode "Boot", released "User"; modeInverted
// swaps the two. VPP is never inverted, so a released line (a closed port, an ended program)
// always means VPP off.
struct LineMap {
  ControlLine vpp = ControlLine::Dtr;
  ControlLine mode = ControlLine::Rts;
  bool modeInverted = false;

  bool operator==(const LineMap&) const = default;
  // Whether the Mode line asserted (or released) selects the boot ROM.
  bool BootWhen(bool modeAsserted) const { return modeAsserted != modeInverted; }
};

// "dtr" or "rts".
const char* LineName(ControlLine line);

// The map as ParseLineMap reads it back: "vpp=dtr,mode=rts", "vpp=rts,mode=!dtr".
std::string FormatLineMap(const LineMap& map);

// Reads MAP: "vpp=LINE" and "mode=[!]LINE" separated by a comma, LINE dtr or rts (in either
// case, spaces around the parts ignored). Either part may be left out: the switch not named
// takes the line the other one leaves. false with *error (a sentence naming what is accepted)
// for an empty map, an unknown switch or line, a switch named twice, both switches on one line,
// or an inverted VPP line; *map is then unchanged.
bool ParseLineMap(const std::string& text, LineMap* map, std::string* error);

}  // namespace quill
