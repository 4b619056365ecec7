#include "link/kernel_protocol.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "link/chunk_fit.h"
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

Result CKernelSession::EraseBlocks() {
  return Guarded([this] { return Erase(); });
}

Result CKernelSession::ProgramFile(CProgramFileSet& files, bool eraseFirst) {
  m_counts = {};
  return Guarded([&] { return Program(files, eraseFirst); });
}

Result CKernelSession::Erase() {
  const std::vector<std::string>& selected = m_job.m_astrSelectedBlocks;
  const DeviceType* device = m_job.m_pDevice;
  if (selected.empty() || device == nullptr) return {};

  const int mode = m_job.ModeIndex();
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
  if (count == 0) return {};

  Report(PhaseBlockErase, 0, 1);
  if (!WriteByte(kCommand)) return {ErrorInternal, InternalError::EraseCommandWrite};
  if (!WriteByte(static_cast<uint8_t>(count))) return {ErrorInternal, InternalError::EraseCountWrite};
  if (!WriteBytes(list.data(), list.size())) return {ErrorInternal, InternalError::EraseListWrite};

  int result = -1;
  for (int attempt = 0; attempt < kEraseAttempts && result < 0; ++attempt) {
    Report(PhaseBlockErase, attempt, kEraseAttempts);
    result = ReadByte(1);
  }
  if (result < 0) return {ErrorBlockEraseTimeout, 0};
  // The kernel does not say which block failed; the detail is the number of blocks the command
  // named, which message 411 shows instead of a location.
  if (result == kNak) return {ErrorBlockEraseFailed, count};

  const uint8_t trailer[8] = {};
  if (!WriteBytes(trailer, sizeof trailer)) return {ErrorInternal, InternalError::EraseTrailerWrite};
  if (ReadByte(1) < 0) return {ErrorBlockEraseTimeout, 0};
  Report(PhaseBlockErase, 1, 1);
  return {};
}

Result CKernelSession::SendChunk(uint32_t address, const uint8_t* data, uint32_t count) {
  // Waits for one reply byte; a failure unless it is the expected one.
  auto expect = [&](int attempts, uint8_t wanted, uint32_t wrongSite) -> Result {
    const int reply = ReadByte(attempts);
    if (reply < 0) return {ErrorFlashWriteTimeout, address};
    if (reply != wanted) return {ErrorInternal, wrongSite};
    return {};
  };

  uint8_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  const uint8_t checksum = static_cast<uint8_t>(0xFF - sum);

  const uint8_t command[2] = {kCommand, 0x00};
  if (!WriteBytes(command, sizeof command)) return {ErrorInternal, InternalError::ChunkCommandWrite};
  if (Result r = expect(1, kAck, InternalError::ChunkCommandReply); !r.ok()) return r;

  uint8_t header[8];
  PutBE32(header, address);
  PutBE32(header + 4, count);
  if (!WriteBytes(header, sizeof header)) return {ErrorInternal, InternalError::ChunkAddressWrite};
  if (Result r = expect(1, kGo, InternalError::ChunkAddressReply); !r.ok()) return r;
  if (!WriteByte(kGo)) return {ErrorInternal, InternalError::ChunkFirstAckWrite};
  if (!WriteBytes(data, count)) return {ErrorInternal, InternalError::ChunkDataWrite};
  if (Result r = expect(kDataAttempts, kGo, InternalError::ChunkDataReply); !r.ok()) return r;
  if (!WriteByte(kGo)) return {ErrorInternal, InternalError::ChunkSecondAckWrite};
  if (!WriteByte(checksum)) return {ErrorInternal, InternalError::ChunkChecksumWrite};

  const int reply = ReadByte(1);
  if (reply == kAck) return {};
  if (reply < 0) return {ErrorFlashWriteTimeout, address};
  if (reply == kNak) return {ErrorFlashWriteChecksum, address};
  return {ErrorInternal, InternalError::ChunkFinalReply};
}

Result CKernelSession::SendRecord(uint32_t address, const uint8_t* data, int count) {
  const Job& job = m_job;
  const FlashBlock* blocks = nullptr;
  int blockCount = 0;
  if (job.m_pDevice != nullptr) {
    blocks = job.m_pDevice->GetBlocks(job.ModeIndex());
    blockCount = job.m_pDevice->GetBlockCount(job.ModeIndex());
  }
  // A record without data bytes is passed over; the rest of the file is still programmed.
  const uint64_t recordStart = static_cast<uint32_t>(address + job.m_dwOffset);
  for (uint32_t piece = 0; piece < static_cast<uint32_t>(count); piece += kMaxChunk) {
    const uint32_t pieceCount = std::min<uint32_t>(kMaxChunk, count - piece);
    uint32_t sent = 0;
    for (const ChunkSpan& span : FitPiece(recordStart + piece, pieceCount, job.m_dwLowest,
                                          job.m_dwHighest, blocks, blockCount,
                                          job.m_astrSelectedBlocks)) {
      // A failed chunk ends the step; the pieces before it are programmed and counted.
      if (Result sentChunk = SendChunk(span.address, data + piece + span.first, span.count);
          !sentChunk.ok()) {
        m_counts.programmed += sent;
        return sentChunk;
      }
      sent += span.count;
    }
    m_counts.programmed += sent;
    m_counts.skipped += pieceCount - sent;
  }
  return {};
}

Result CKernelSession::Program(CProgramFileSet& files, bool eraseFirst) {
  if (eraseFirst && !m_job.m_astrSelectedBlocks.empty()) {
    if (Result erased = Erase(); !erased.ok()) return erased;
  }

  // The position and range cover the whole file set.
  const int shift = ProgressShift(files.GetLength());
  const int32_t length = static_cast<int32_t>(files.GetLength() >> shift);
  Report(PhaseProgram, 0, length);

  // The files were checked when they were chosen; a record that no longer reads cleanly means
  // one has changed since, and what is in the flash then is not what the check approved. The
  // detail is the line (0 for a raw binary file, which has none).
  auto fileChanged = [](int line) { return Result{ErrorFileChanged, static_cast<uint32_t>(line)}; };

  uint8_t data[kMaxRecordData];
  for (;;) {
    ProgramRecord record;
    int count = 0;
    try {
      count = files.ReadRecord(record, data, kMaxRecordData);
    } catch (const CUserException& e) {
      if (e.IsAbort()) throw;
      return fileChanged(e.GetLine() > 0 ? e.GetLine() : files.Current().m_nLines);
    } catch (const CFileException&) {
      return fileChanged(files.Current().m_nLines + 1);
    }
    if (count < 0) break;
    if (files.Current().m_nChecksumErrors > 0) {
      return fileChanged(files.Current().m_nLastChecksumErrorLine);
    }
    ThrowIfAbortRequested();

    if (record.pastTop) {
      // Beyond the top of the address space: no address to program them at.
      m_counts.skipped += static_cast<uint32_t>(count);
      continue;
    }
    if (Result sent = SendRecord(record.address, data, count); !sent.ok()) return sent;
    Report(PhaseProgram, static_cast<int32_t>(files.GetPosition() >> shift), length);
  }
  files.Close();
  Report(PhaseProgram, length, length);
  return {};
}

}  // namespace quill
