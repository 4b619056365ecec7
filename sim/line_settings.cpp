#include "sim/line_settings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <algorithm>

namespace quill::sim {

bool ReadLineSettings(int fd, LineSettings* settings) {
  struct termios2 t {};
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  settings->outputRate = t.c_ospeed;
  settings->inputRate = t.c_ispeed;
  // A Linux pseudo-terminal forces CS8 and clears PARENB whatever the host sets, so on one these
  // two always read as right; a serial device bridged in would show them.
  switch (t.c_cflag & CSIZE) {
    case CS5: settings->dataBits = 5; break;
    case CS6: settings->dataBits = 6; break;
    case CS7: settings->dataBits = 7; break;
    default: settings->dataBits = 8; break;
  }
  settings->parity = (t.c_cflag & PARENB) != 0;
  settings->twoStopBits = (t.c_cflag & CSTOPB) != 0;
  settings->hardwareFlow = (t.c_cflag & CRTSCTS) != 0;
  settings->softwareFlowOut = (t.c_iflag & IXON) != 0;
  settings->softwareFlowIn = (t.c_iflag & IXOFF) != 0;
  settings->outputProcessing = (t.c_oflag & OPOST) != 0;
  settings->inputTranslation = (t.c_iflag & (ISTRIP | INLCR | IGNCR | ICRNL | IUCLC)) != 0;
  settings->canonical = (t.c_lflag & ICANON) != 0;
  settings->echo = (t.c_lflag & ECHO) != 0;
  return true;
}

bool MakeRaw(int fd, uint32_t rate) {
  struct termios2 t {};
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  // The input rate stays "same as output" (CIBAUD 0), as on a serial port nobody has touched;
  // a host setting its rates through the older interface would otherwise keep a stale input rate.
  t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
  t.c_cflag |= CS8 | CREAD | CLOCAL | (rate == 9600 ? B9600 : BOTHER);
  t.c_ospeed = rate;
  t.c_ispeed = rate;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return ::ioctl(fd, TCSETS2, &t) == 0;
}

std::vector<std::string> LineProblems(const LineSettings& s, const std::vector<uint32_t>& rates) {
  std::vector<std::string> problems;
  if (!rates.empty() && std::find(rates.begin(), rates.end(), s.outputRate) == rates.end()) {
    std::string list;
    for (uint32_t r : rates) list += (list.empty() ? "" : ", ") + std::to_string(r);
    problems.push_back("line rate " + std::to_string(s.outputRate) + " bps, expected " + list);
  }
  if (s.inputRate != 0 && s.inputRate != s.outputRate)
    problems.push_back("input rate " + std::to_string(s.inputRate) + " bps differs from output rate " +
                       std::to_string(s.outputRate));
  if (s.dataBits != 8) problems.push_back(std::to_string(s.dataBits) + " data bits, expected 8");
  if (s.parity) problems.push_back("parity on, expected none");
  if (s.twoStopBits) problems.push_back("two stop bits, expected one");
  if (s.hardwareFlow) problems.push_back("RTS/CTS flow control on");
  if (s.softwareFlowOut || s.softwareFlowIn) problems.push_back("XON/XOFF flow control on");
  if (s.outputProcessing) problems.push_back("output processing on (bytes may be rewritten)");
  if (s.inputTranslation) problems.push_back("input translation on (bytes may be rewritten)");
  if (s.canonical) problems.push_back("canonical input on, expected raw");
  if (s.echo) problems.push_back("echo on, expected raw");
  return problems;
}

}  // namespace quill::sim
