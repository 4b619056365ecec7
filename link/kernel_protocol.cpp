// The kernel's 0x57 command: the erase form for the selected blocks, and the programming form
// that carries one chunk of a data record, confirmed by a checksum.
#include <algorithm>
#include <limits>
#include <vector>

#include "link/chunk_fit.h"
#include "link/comm_thread.h"
#include "link/results.h"
#include "progfile/file_set.h"
#include "progfile/user_exception.h"

namespace quill {
namespace {

constexpr uint8_t kCommand = 0x57;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x07;
constexpr uint8_t kGo = 0x11;
constexpr int kEraseAttempts = 20;
constexpr int kDataAttempts = 5;

void PutBE32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

// Progress travels as 32-bit values: positions in files of several gigabytes are scaled down.
int ProgressShift(uint64_t length) {
  int shift = 0;
  while ((length >> shift) > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) ++shift;
  return shift;
}

}  // namespace

bool CCommThread::FindUnselectedBlock(uint32_t address, uint32_t& start, uint32_t& end) const {
  const DeviceType* device = m_pSheet->m_pDevice;
  if (device == nullptr) return false;
  const int mode = m_pSheet->ModeIndex();
  return quill::FindUnselectedBlock(device->GetBlocks(mode), device->GetBlockCount(mode),
                                    m_pSheet->m_astrSelectedBlocks, address, start, end);
}

bool CCommThread::EraseBlocks() {
  const std::vector<std::string>& selected = m_pSheet->m_astrSelectedBlocks;
  const DeviceType* device = m_pSheet->m_pDevice;
  if (selected.empty() || device == nullptr) return true;

  const int mode = m_pSheet->ModeIndex();
  const FlashBlock* blocks = device->GetBlocks(mode);
  std::vector<uint8_t> list;
  uint32_t count = 0;
  // Map order, whatever the order of the selection; the count travels in one byte.
  for (int i = 0; i < device->GetBlockCount(mode) && count < 255; ++i) {
    if (FindBlockName(selected, blocks[i].name) < 0) continue;
    list.resize(list.size() + 4);
    PutBE32(list.data() + list.size() - 4, blocks[i].start);
    ++count;
  }
  if (count == 0) return true;

  SetProgress(PhaseBlockErase, 0, 1);
  auto fail = [this](int32_t kind, uint32_t detail) {
    SetResult(kind, detail);
    return false;
  };
  if (!WriteByte(kCommand)) return fail(ErrorInternal, InternalError::EraseCommandWrite);
  if (!WriteByte(static_cast<uint8_t>(count))) {
    return fail(ErrorInternal, InternalError::EraseCountWrite);
  }
  if (!WriteBytes(list.data(), list.size())) {
    return fail(ErrorInternal, InternalError::EraseListWrite);
  }

  int result = -1;
  for (int attempt = 0; attempt < kEraseAttempts && result < 0; ++attempt) {
    SetProgress(PhaseBlockErase, attempt, kEraseAttempts);
    result = ReadByte(1);
  }
  if (result < 0) return fail(ErrorBlockEraseTimeout, 0);
  // The kernel does not say which block failed; the detail is the number of blocks the command
  // named, which message 411 shows instead of a location.
  if (result == kNak) return fail(ErrorBlockEraseFailed, count);

  const uint8_t trailer[8] = {};
  if (!WriteBytes(trailer, sizeof trailer)) {
    return fail(ErrorInternal, InternalError::EraseTrailerWrite);
  }
  if (ReadByte(1) < 0) return fail(ErrorBlockEraseTimeout, 0);
  SetProgress(PhaseBlockErase, 1, 1);
  return true;
}

bool CCommThread::SendChunk(uint32_t address, const uint8_t* data, uint32_t count) {
  auto fail = [this](int32_t kind, uint32_t detail) {
    SetResult(kind, detail);
    return false;
  };
  // Waits for one reply byte; false (with the result set) unless it is the expected one.
  auto expect = [&](int attempts, uint8_t wanted, uint32_t wrongSite) {
    const int reply = ReadByte(attempts);
    if (reply < 0) return fail(ErrorFlashWriteTimeout, address);
    if (reply != wanted) return fail(ErrorInternal, wrongSite);
    return true;
  };

  uint8_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  const uint8_t checksum = static_cast<uint8_t>(0xFF - sum);

  const uint8_t command[2] = {kCommand, 0x00};
  if (!WriteBytes(command, sizeof command)) {
    return fail(ErrorInternal, InternalError::ChunkCommandWrite);
  }
  if (!expect(1, kAck, InternalError::ChunkCommandReply)) return false;

  uint8_t header[8];
  PutBE32(header, address);
  PutBE32(header + 4, count);
  if (!WriteBytes(header, sizeof header)) {
    return fail(ErrorInternal, InternalError::ChunkAddressWrite);
  }
  if (!expect(1, kGo, InternalError::ChunkAddressReply)) return false;
  if (!WriteByte(kGo)) return fail(ErrorInternal, InternalError::ChunkFirstAckWrite);
  if (!WriteBytes(data, count)) return fail(ErrorInternal, InternalError::ChunkDataWrite);
  if (!expect(kDataAttempts, kGo, InternalError::ChunkDataReply)) return false;
  if (!WriteByte(kGo)) return fail(ErrorInternal, InternalError::ChunkSecondAckWrite);
  if (!WriteByte(checksum)) return fail(ErrorInternal, InternalError::ChunkChecksumWrite);

  const int reply = ReadByte(1);
  if (reply == kAck) return true;
  if (reply < 0) return fail(ErrorFlashWriteTimeout, address);
  if (reply == kNak) return fail(ErrorFlashWriteChecksum, address);
  return fail(ErrorInternal, InternalError::ChunkFinalReply);
}

void CCommThread::ProgramFile() {
  m_dwProgrammed.store(0);
  m_dwSkipped.store(0);
  const WizardState& sheet = *m_pSheet;
  if (m_bEraseFirst.load() && !sheet.m_astrSelectedBlocks.empty() && !EraseBlocks()) return;

  const FlashBlock* blocks = nullptr;
  int blockCount = 0;
  if (sheet.m_pDevice != nullptr) {
    blocks = sheet.m_pDevice->GetBlocks(sheet.ModeIndex());
    blockCount = sheet.m_pDevice->GetBlockCount(sheet.ModeIndex());
  }

  // The position and range cover the whole file set.
  const int shift = ProgressShift(m_files->GetLength());
  const int32_t length = static_cast<int32_t>(m_files->GetLength() >> shift);
  SetProgress(PhaseProgram, 0, length);

  // The files were checked when they were chosen; a record that no longer reads cleanly means
  // one has changed since, and what is in the flash then is not what the check approved. The
  // detail is the line (0 for a raw binary file, which has none).
  auto fileChanged = [this](int line) { SetResult(ErrorFileChanged, static_cast<uint32_t>(line)); };

  uint8_t data[kMaxRecordData];
  for (;;) {
    ProgramRecord record;
    int count = 0;
    try {
      count = m_files->ReadRecord(record, data, kMaxRecordData);
    } catch (const CUserException& e) {
      return fileChanged(e.GetLine() > 0 ? e.GetLine() : m_files->Current().m_nLines);
    } catch (const CFileException&) {
      return fileChanged(m_files->Current().m_nLines + 1);
    }
    if (count < 0) break;
    if (m_files->Current().m_nChecksumErrors > 0) {
      return fileChanged(m_files->Current().m_nLastChecksumErrorLine);
    }
    ThrowIfAbortRequested();

    if (record.pastTop) {
      // Beyond the top of the address space: no address to program them at.
      m_dwSkipped.fetch_add(static_cast<uint32_t>(count));
      continue;
    }
    // A record without data bytes is passed over; the rest of the file is still programmed.
    const uint64_t recordStart = static_cast<uint32_t>(record.address + sheet.m_dwOffset);
    for (uint32_t piece = 0; piece < static_cast<uint32_t>(count); piece += kMaxChunk) {
      const uint32_t pieceCount = std::min<uint32_t>(kMaxChunk, count - piece);
      uint32_t sent = 0;
      for (const ChunkSpan& span :
           FitPiece(recordStart + piece, pieceCount, sheet.m_dwLowest, sheet.m_dwHighest, blocks,
                    blockCount, sheet.m_astrSelectedBlocks)) {
        // A failed chunk ends the step; the pieces before it are programmed and counted.
        if (!SendChunk(span.address, data + piece + span.first, span.count)) {
          m_dwProgrammed.fetch_add(sent);
          return;
        }
        sent += span.count;
      }
      m_dwProgrammed.fetch_add(sent);
      m_dwSkipped.fetch_add(pieceCount - sent);
    }
    SetProgress(PhaseProgram, static_cast<int32_t>(m_files->GetPosition() >> shift), length);
  }
  m_files->Close();
  SetProgress(PhaseProgram, length, length);
}

}  // namespace quill
