#include "link/chunk_fit.h"

#include <algorithm>

namespace quill {

bool FindUnselectedBlock(const FlashBlock* blocks, int count,
                         const std::vector<std::string>& selected, uint32_t address,
                         uint32_t& start, uint32_t& end) {
  for (int i = 0; i < count; ++i) {
    const FlashBlock& block = blocks[i];
    if (block.start <= address && address <= block.end &&
        FindBlockName(selected, block.name) < 0) {
      start = block.start;
      end = block.end;
      return true;
    }
  }
  return false;
}

std::vector<ChunkSpan> FitPiece(uint64_t start, uint32_t count, uint32_t lowest, uint32_t highest,
                                const FlashBlock* blocks, int blockCount,
                                const std::vector<std::string>& selected) {
  std::vector<ChunkSpan> runs;
  if (count == 0) return runs;
  const uint64_t last = start + count - 1;
  if (start > highest || last < lowest) return runs;
  uint64_t a = std::max<uint64_t>(start, lowest);
  const uint64_t hi = std::min<uint64_t>(last, highest);  // at most 0xFFFFFFFF

  while (a <= hi) {
    uint32_t s = 0, e = 0;
    if (FindUnselectedBlock(blocks, blockCount, selected, static_cast<uint32_t>(a), s, e)) {
      a = uint64_t{e} + 1;
      continue;
    }
    // The run goes on until the first unselected block that starts after a, or the end.
    uint64_t runEnd = hi;
    for (int i = 0; i < blockCount; ++i) {
      const FlashBlock& block = blocks[i];
      if (block.start > a && block.start <= runEnd && FindBlockName(selected, block.name) < 0) {
        runEnd = uint64_t{block.start} - 1;
      }
    }
    runs.push_back({static_cast<uint32_t>(a), static_cast<uint32_t>(a - start),
                    static_cast<uint32_t>(runEnd - a + 1)});
    a = runEnd + 1;
  }
  return runs;
}

}  // namespace quill
