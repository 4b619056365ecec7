// S-record and Intel HEX lines for the files the tests, the benchmarks and the screenshot tour program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quill::sim {

// One S-record line (no line end) of type 1, 2 or 3: count, address, data and a checksum that is
// off by checksumDelta (0 for a correct one).
std::string MakeSRecordLine(int type, uint32_t address, const std::vector<uint8_t>& data,
                            int checksumDelta = 0);

// One Intel HEX line (no line end): count, offset, type (0 data, 1 end of file, 2 and 4 extended
// segment and linear address, 3 and 5 start addresses), data and a checksum off by
// checksumDelta.
std::string MakeIntelHexLine(int type, uint16_t offset, const std::vector<uint8_t>& data,
                             int checksumDelta = 0);

}  // namespace quill::sim
