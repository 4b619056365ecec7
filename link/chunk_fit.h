// How the programming step cuts a data record into the chunks it sends: the record is split into
// pieces of at most kMaxChunk bytes, each piece is trimmed to the address window, and bytes that
// fall into a flash block the user did not select are never sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/catalogue.h"

namespace quill {

// The most data bytes one programming command carries.
constexpr uint32_t kMaxChunk = 64;

// One run of bytes to program: target address, index of its first byte in the piece, count.
struct ChunkSpan {
  uint32_t address;
  uint32_t first;
  uint32_t count;
};

// True when address lies in a block of blocks[0..count) whose name is not in selected; the
// block's inclusive start and end are returned. Blocks are searched in map order.
bool FindUnselectedBlock(const FlashBlock* blocks, int count,
                         const std::vector<std::string>& selected, uint32_t address,
                         uint32_t& start, uint32_t& end);

// The chunks for a piece of count bytes whose first byte would land at start (computed without
// wrap-around: bytes beyond 0xFFFFFFFF are outside). Keeps the bytes inside lowest..highest
// (inclusive), drops those in unselected blocks, and returns the remaining runs in address
// order. With the catalogue's blocks of at least 128 bytes a piece of at most kMaxChunk bytes
// yields at most one run.
std::vector<ChunkSpan> FitPiece(uint64_t start, uint32_t count, uint32_t lowest, uint32_t highest,
                                const FlashBlock* blocks, int blockCount,
                                const std::vector<std::string>& selected);

}  // namespace quill
