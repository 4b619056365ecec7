#include "sim/srec_line.h"

#include <cstdio>

namespace quill::sim {

std::string MakeSRecordLine(int type, uint32_t address, const std::vector<uint8_t>& data,
                            int checksumDelta) {
  const int addressLength = type + 1;
  std::vector<uint8_t> bytes;
  bytes.push_back(static_cast<uint8_t>(addressLength + data.size() + 1));
  for (int i = addressLength - 1; i >= 0; --i)
    bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  bytes.push_back(static_cast<uint8_t>(~sum + checksumDelta));
  std::string line = "S" + std::to_string(type);
  char hex[3];
  for (uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
  }
  return line;
}

}  // namespace quill::sim
