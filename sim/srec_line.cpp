#include "sim/srec_line.h"

#include <cstdio>

namespace quill::sim {
namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char hex[3];
  for (uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    text += hex;
  }
  return text;
}

unsigned Sum(const std::vector<uint8_t>& bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum;
}

}  // namespace

std::string MakeSRecordLine(int type, uint32_t address, const std::vector<uint8_t>& data,
                            int checksumDelta) {
  const int addressLength = type + 1;
  std::vector<uint8_t> bytes;
  bytes.push_back(static_cast<uint8_t>(addressLength + data.size() + 1));
  for (int i = addressLength - 1; i >= 0; --i)
    bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
  bytes.insert(bytes.end(), data.begin(), data.end());
  bytes.push_back(static_cast<uint8_t>(~Sum(bytes) + checksumDelta));
  std::string line = "S";
  line += std::to_string(type);
  line += Hex(bytes);
  return line;
}

std::string MakeIntelHexLine(int type, uint16_t offset, const std::vector<uint8_t>& data,
                             int checksumDelta) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
                                static_cast<uint8_t>(offset), static_cast<uint8_t>(type)};
  bytes.insert(bytes.end(), data.begin(), data.end());
  bytes.push_back(static_cast<uint8_t>(-Sum(bytes) + checksumDelta));
  std::string line = ":";
  line += Hex(bytes);
  return line;
}

}  // namespace quill::sim
