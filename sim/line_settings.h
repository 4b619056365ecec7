// The line settings of a terminal as the kernel keeps them (termios2). Kept in its own unit
// because <asm/termbits.h> and <termios.h> cannot be included together.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quill::sim {

struct LineSettings {
  uint32_t outputRate = 0;  // bits per second, also for rates without a Bxxx constant
  uint32_t inputRate = 0;
  int dataBits = 8;
  bool parity = false;
  bool twoStopBits = false;
  bool hardwareFlow = false;    // CRTSCTS
  bool softwareFlowOut = false; // IXON
  bool softwareFlowIn = false;  // IXOFF
  bool outputProcessing = false;  // OPOST: the driver would rewrite bytes the host sends
  bool inputTranslation = false;  // ISTRIP, INLCR, IGNCR, ICRNL, IGNBRK off etc.
  bool canonical = false;         // ICANON: reads wait for a line end
  bool echo = false;              // ECHO: bytes the board sends would come back to it
};

bool ReadLineSettings(int fd, LineSettings* settings);

// Puts the terminal into raw 8N1 at the given rate without flow control, so a port nobody has
// configured yet neither echoes nor translates.
bool MakeRaw(int fd, uint32_t rate);

// What is wrong with the settings for a line that should run at one of the rates (any rate when
// the list is empty); empty when nothing is.
std::vector<std::string> LineProblems(const LineSettings& settings,
                                      const std::vector<uint32_t>& rates);

}  // namespace quill::sim
