#include "progfile/program_image.h"

#include <algorithm>

#include "progfile/address_field.h"
#include "progfile/file_set.h"
#include "progfile/load_file.h"
#include "progfile/user_exception.h"
#include "resources/format.h"
#include "resources/strings.h"

namespace quill {

namespace {
}  // namespace

ClippedRecord ClipRecord(uint32_t address, int count, uint32_t offset, uint32_t lowest,
                         uint32_t highest) {
  ClippedRecord clip;
  if (count <= 0) return clip;
  const uint32_t start = address + offset;  // wraps modulo 2^32 on purpose
  // The record's end in 64 bits: a record that runs past 0xFFFFFFFF does not come round to 0.
  const uint64_t end = static_cast<uint64_t>(start) + static_cast<uint64_t>(count) - 1;
  clip.outsideCount = static_cast<uint32_t>(count);
  if (start > highest || end < lowest) return clip;
  const uint64_t first = std::max<uint64_t>(start, lowest);
  const uint64_t last = std::min<uint64_t>(end, highest);
  if (first > last) return clip;  // an inverted window holds nothing
  clip.first = static_cast<uint32_t>(first);
  clip.last = static_cast<uint32_t>(last);
  clip.dataIndex = static_cast<int>(first - start);
  clip.insideCount = static_cast<uint32_t>(last - first + 1);
  clip.outsideCount = static_cast<uint32_t>(count) - clip.insideCount;
  return clip;
}

bool CollectTouchedBlocks(uint32_t first, uint32_t last, const DeviceType& device, int mode,
                          std::vector<std::string>& list) {
  const int blockCount = device.GetBlockCount(mode);
  const FlashBlock* blocks = device.GetBlocks(mode);
  if (blockCount <= 0 || first < blocks[0].start) return false;
  for (int i = 0; i < blockCount; ++i) {
    const FlashBlock& block = blocks[i];
    if (block.end < first) continue;
    if (FindBlockName(list, block.name) == -1) list.emplace_back(block.name);
    if (last <= block.end) return true;
  }
  return false;
}

ClippedRecord ClipRecord(const ProgramRecord& record, int count, uint32_t offset, uint32_t lowest,
                         uint32_t highest) {
  if (!record.pastTop) return ClipRecord(record.address, count, offset, lowest, highest);
  ClippedRecord clip;
  clip.outsideCount = static_cast<uint32_t>(std::max(count, 0));
  return clip;
}

namespace {

// The lowest address two files share, with the files in summary; of several pairs sharing it,
// the first pair. False when no two files share an address.
bool FindOverlap(const std::vector<AddressRuns>& written, CheckSummary& summary) {
  bool overlap = false;
  for (std::size_t i = 0; i < written.size(); ++i) {
    for (std::size_t j = i + 1; j < written.size(); ++j) {
      const std::optional<uint32_t> shared = AddressRuns::FirstShared(written[i], written[j]);
      if (shared && (!overlap || *shared < summary.address)) {
        overlap = true;
        summary.file = static_cast<int>(i);
        summary.otherFile = static_cast<int>(j);
        summary.address = *shared;
      }
    }
  }
  return overlap;
}

// The reading half of the check, run under the wait cursor; what it found is told afterwards.
CheckSummary::Outcome ReadProgramFiles(Job& sheet, const std::vector<ProgramFile>& files,
                                       CheckSummary& summary, std::string& fileError) {
  if (sheet.m_pDevice == nullptr) sheet.DeriveCatalogueRefs();
  const DeviceType& device = *sheet.m_pDevice;
  const int mode = sheet.ModeIndex();
  CProgramFileSet set;
  try {
    set.Open(files);
    // Per file, the addresses it writes; memory grows with the number of separate runs.
    std::vector<AddressRuns> written(files.size());
    bool nothingToProgram = true;
    uint8_t data[kMaxRecordData];
    ProgramRecord record;
    for (;;) {
      const int errorsBefore = set.Current().m_nChecksumErrors;
      const int count = set.ReadRecord(record, data, kMaxRecordData);
      summary.file = set.CurrentFile();
      if (count < 0) break;
      // A damaged record must not reach the flash. Also one without data: its count byte may be
      // the damaged part, and the bytes it hides would be silently lost.
      if (set.Current().m_nChecksumErrors != errorsBefore) {
        summary.line = set.Current().m_nLastChecksumErrorLine;
        return CheckSummary::ChecksumMismatch;
      }
      if (count == 0) continue;
      const ClippedRecord clip =
          ClipRecord(record, count, sheet.m_dwOffset, sheet.m_dwLowest, sheet.m_dwHighest);
      summary.insideBytes += clip.insideCount;
      summary.outsideBytes += clip.outsideCount;
      if (clip.insideCount == 0) continue;
      nothingToProgram = false;
      if (sheet.m_nReservedLength > 0) {
        const uint32_t first = sheet.m_dwReservedFirst;
        const uint32_t last = first + (sheet.m_nReservedLength - 1);
        if (clip.first <= last && first <= clip.last) {
          summary.address = std::max(first, clip.first);
          return CheckSummary::ReservedOverlap;
        }
      }
      if (files.size() > 1) written[static_cast<std::size_t>(record.file)].Add(clip.first, clip.last);
      if (!CollectTouchedBlocks(clip.first, clip.last, device, mode, sheet.m_astrSelectedBlocks)) {
        return CheckSummary::OutsideFlash;
      }
    }
    if (FindOverlap(written, summary)) return CheckSummary::Overlap;
    sheet.m_aProgramFiles.clear();
    for (std::size_t i = 0; i < files.size(); ++i) {
      sheet.m_aProgramFiles.push_back(set.Resolved(static_cast<int>(i)));
    }
    return nothingToProgram ? CheckSummary::PassedEmpty : CheckSummary::Passed;
  } catch (const CUserException& e) {
    if (e.IsAbort()) throw;
    summary.file = set.IsOpen() ? set.CurrentFile() : 0;
    summary.format = set.IsOpen() ? set.Resolved(summary.file).format : FileFormat::Unknown;
    summary.line = e.GetLine();
    return e.GetReason() == CUserException::UnknownFormat ? CheckSummary::UnknownFormat
                                                          : CheckSummary::FormatError;
  } catch (const CFileException& e) {
    fileError = e.Message();
    return CheckSummary::FileError;
  }
}

}  // namespace

ReservedPlace CheckReservedPlace(Job& sheet, bool everyBlock) {
  ReservedPlace place;
  if (sheet.m_nReservedLength == 0) return place;
  if (sheet.m_pDevice == nullptr) sheet.DeriveCatalogueRefs();
  const uint32_t first = sheet.m_dwReservedFirst;
  const uint64_t last = uint64_t{first} + sheet.m_nReservedLength - 1;
  if (first < sheet.m_dwLowest || last > sheet.m_dwHighest) {
    place.outcome = ReservedPlace::OutsideWindow;
    return place;
  }
  std::vector<std::string> blocks;
  if (!CollectTouchedBlocks(first, static_cast<uint32_t>(last), *sheet.m_pDevice, sheet.ModeIndex(),
                            blocks)) {
    place.outcome = ReservedPlace::OutsideFlash;
    return place;
  }
  for (const std::string& block : blocks) {
    if (std::find(sheet.m_astrSelectedBlocks.begin(), sheet.m_astrSelectedBlocks.end(), block) !=
        sheet.m_astrSelectedBlocks.end()) {
      continue;
    }
    if (everyBlock) {
      sheet.m_astrSelectedBlocks.push_back(block);
      continue;
    }
    place.outcome = ReservedPlace::BlockNotProgrammed;
    place.block = block;
    return place;
  }
  return place;
}

std::string ReservedPlaceProblem(const ReservedPlace& place, const Job& sheet) {
  switch (place.outcome) {
    case ReservedPlace::Inside:
      break;
    case ReservedPlace::OutsideWindow:
      return "do not lie inside the window " + FormatAddressField(sheet.m_dwLowest, true) + " to " +
             FormatAddressField(sheet.m_dwHighest, true);
    case ReservedPlace::OutsideFlash:
      return "do not lie inside the flash of " + sheet.m_strMCUType;
    case ReservedPlace::BlockNotProgrammed:
      return "lie in block " + place.block + ", which this run does not program";
  }
  return {};
}

bool CheckProgramFile(Job& sheet, const std::string& path, CheckReporter& reporter,
                      CheckSummary* summary) {
  return CheckProgramFiles(sheet, {ProgramFile{path}}, reporter, summary);
}

bool CheckProgramFiles(Job& sheet, const std::vector<ProgramFile>& files,
                       CheckReporter& reporter, CheckSummary* summary) {
  CheckSummary local;
  CheckSummary& result = summary != nullptr ? *summary : local;
  result = CheckSummary();
  sheet.m_astrSelectedBlocks.clear();
  sheet.m_aProgramFiles.clear();

  std::string fileError;
  {
    // The files are closed when the reading ends; messages come after the wait cursor is gone.
    WaitCursorGuard wait(reporter);
    result.outcome = ReadProgramFiles(sheet, files, result, fileError);
  }
  const std::string path =
      files.empty() ? std::string() : files[static_cast<std::size_t>(result.file)].path;

  switch (result.outcome) {
    case CheckSummary::Passed:
      return true;
    case CheckSummary::PassedEmpty:
    case CheckSummary::DeclinedEmpty:
      if (reporter.AskYesNo(StrId::NothingToProgram, LoadString(StrId::NothingToProgram))) {
        result.outcome = CheckSummary::PassedEmpty;
        return true;
      }
      result.outcome = CheckSummary::DeclinedEmpty;
      sheet.m_aProgramFiles.clear();
      return false;
    case CheckSummary::FileError:
      reporter.ReportFileError(fileError);
      return false;
    case CheckSummary::FormatError:
      if (result.format == FileFormat::IntelHex) {
        reporter.ShowMessage(StrId::IntelHexFormatError,
                             FormatString(StrId::IntelHexFormatError, {path, result.line}));
      } else {
        reporter.ShowMessage(StrId::InvalidFormat, FormatString(StrId::InvalidFormat, {path}));
      }
      return false;
    case CheckSummary::UnknownFormat:
      reporter.ShowMessage(StrId::UnknownFileFormat, FormatString(StrId::UnknownFileFormat, {path}));
      return false;
    case CheckSummary::ChecksumMismatch:
      reporter.ShowMessage(StrId::ChecksumError,
                           FormatString(StrId::ChecksumError, {path, result.line}));
      return false;
    case CheckSummary::OutsideFlash:
      reporter.ShowMessage(StrId::OutsideFlash, FormatString(StrId::OutsideFlash, {path}));
      return false;
    case CheckSummary::ReservedOverlap:
      reporter.ShowMessage(StrId::FilesOverlap,
                           path + " writes address " + FormatAddressField(result.address, true) +
                               ", where the board's own value goes; nothing was sent");
      return false;
    case CheckSummary::Overlap:
      reporter.ShowMessage(
          StrId::FilesOverlap,
          FormatString(StrId::FilesOverlap,
                       {path, files[static_cast<std::size_t>(result.otherFile)].path,
                        result.address}));
      return false;
  }
  return false;
}

}  // namespace quill
