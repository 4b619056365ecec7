// The program-file reader and the program-file check on arbitrary bytes. An input that begins
// with "#Q" and 14 more bytes takes them as device, mode, answer to question 140 (bit 0) and raw
// binary (bit 1), offset, lowest and highest address (little-endian); the rest, or the whole
// input otherwise, is the file: S-record or Intel HEX recognised from the content, or raw binary
// placed at the offset's value (the offset itself then 0).
//
// Checked: the reader never writes past the caller's buffer (it is exactly capacity bytes on the
// heap), returns no more than capacity, and moves forward; the address rule keeps inside and
// outside bytes apart within the window; the check agrees with a record-by-record pass over the
// same file on its outcome and byte counts and names only blocks of the map, each once.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/wizard_state.h"
#include "device/catalogue.h"
#include "progfile/file_set.h"
#include "progfile/load_file.h"
#include "progfile/program_image.h"
#include "progfile/user_exception.h"
#include "fuzz/require.h"

namespace {

using namespace quill;

class Answers : public CheckReporter {
 public:
  explicit Answers(bool yes) : yes_(yes) {}
  void ShowMessage(uint32_t, const std::string&) override {}
  bool AskYesNo(uint32_t, const std::string&) override { return yes_; }
  void ReportFileError(const std::string&) override {}

 private:
  bool yes_;
};

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The input as a file, without touching the disk.
const std::string& FilePath() {
  static const std::string path = [] {
    const int fd = ::memfd_create("quill-fuzz-srec", 0);
    REQUIRE(fd >= 0);
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return path;
}

void WriteFile(const uint8_t* data, std::size_t size) {
  const int fd = std::atoi(FilePath().c_str() + std::strlen("/proc/self/fd/"));
  REQUIRE(::ftruncate(fd, 0) == 0);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    REQUIRE(n > 0);
    done += static_cast<std::size_t>(n);
  }
}

struct Pass {
  bool formatError = false;
  bool checksumError = false;
  bool outsideFlash = false;
  uint64_t inside = 0;
  uint64_t outside = 0;
};

// Reads the file as the programming pass does and applies the address rule to every record.
Pass ReadAll(const WizardState& sheet, const ProgramFile& program, int capacity) {
  Pass pass;
  CProgramFileSet file;
  file.Open({program});
  std::unique_ptr<uint8_t[]> data(new uint8_t[static_cast<std::size_t>(capacity)]);
  const DeviceMode& mode = sheet.Mode();
  uint64_t position = 0;
  for (;;) {
    ProgramRecord record;
    int count = 0;
    try {
      count = file.ReadRecord(record, data.get(), capacity);
    } catch (const CUserException& e) {
      REQUIRE(!e.IsAbort());
      pass.formatError = true;
      return pass;
    }
    REQUIRE(count <= capacity);
    REQUIRE(file.GetPosition() >= position);
    REQUIRE(file.GetPosition() <= file.GetLength());
    position = file.GetPosition();
    if (count < 0) break;
    if (file.Current().m_nChecksumErrors > 0) pass.checksumError = true;
    if (count == 0) continue;
    const uint32_t address = record.address;
    const ClippedRecord clip =
        ClipRecord(record, count, sheet.m_dwOffset, sheet.m_dwLowest, sheet.m_dwHighest);
    // Nothing past the top of the address space is ever inside.
    REQUIRE(!record.pastTop || clip.insideCount == 0);
    REQUIRE(clip.insideCount + clip.outsideCount == static_cast<uint32_t>(count));
    if (clip.insideCount > 0) {
      REQUIRE(clip.first >= sheet.m_dwLowest && clip.last <= sheet.m_dwHighest);
      REQUIRE(clip.last - clip.first + 1 == clip.insideCount);
      REQUIRE(clip.dataIndex >= 0 &&
              static_cast<uint32_t>(clip.dataIndex) + clip.insideCount <= static_cast<uint32_t>(count));
      REQUIRE(clip.first == static_cast<uint32_t>(address + sheet.m_dwOffset + clip.dataIndex));
      if (clip.first < mode.flashLowest || clip.last > mode.flashHighest) pass.outsideFlash = true;
    }
    pass.inside += clip.insideCount;
    pass.outside += clip.outsideCount;
  }
  return pass;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  WizardState sheet;
  bool yes = true;
  struct Choice {
    const char* device;
    int mode;
  };
  static const Choice kChoices[] = {{"TX-A10", 0}, {"TX-C30", 0}, {"TX-C31", 0}, {"TX-C31", 1}};
  Choice choice = kChoices[1];
  bool window = false;
  bool binary = false;
  uint32_t offset = 0, lowest = 0, highest = 0;
  if (size >= 16 && data[0] == '#' && data[1] == 'Q') {
    choice = kChoices[data[2] % 4];
    yes = (data[3] & 1) != 0;
    binary = (data[3] & 2) != 0;
    offset = Le32(data + 4);
    lowest = Le32(data + 8);
    highest = Le32(data + 12);
    window = true;
    data += 16;
    size -= 16;
  }
  sheet.m_strMCUType = choice.device;
  sheet.m_nMCUMode = choice.mode;
  sheet.DeriveCatalogueRefs();
  const DeviceMode& mode = sheet.Mode();
  ProgramFile program{FilePath()};
  if (binary) {
    program.format = FileFormat::Binary;
    program.base = offset;
    offset = 0;
  }
  sheet.m_dwOffset = offset;
  // The file pages keep the window inside the flash, lowest first; so does this.
  sheet.m_dwLowest = mode.flashLowest;
  sheet.m_dwHighest = mode.flashHighest;
  if (window) {
    sheet.m_dwLowest = std::clamp(lowest, mode.flashLowest, mode.flashHighest);
    sheet.m_dwHighest = std::clamp(highest, sheet.m_dwLowest, mode.flashHighest);
  }
  WriteFile(data, size);

  const Pass narrow = ReadAll(sheet, program, 64);
  const Pass wide = ReadAll(sheet, program, kMaxRecordData);

  Answers answers(yes);
  CheckSummary summary;
  sheet.m_astrSelectedBlocks = {"stale"};
  const bool ok = CheckProgramFiles(sheet, {program}, answers, &summary);
  REQUIRE(ok == !sheet.m_aProgramFiles.empty());

  switch (summary.outcome) {
    case CheckSummary::Passed:
      REQUIRE(ok && !wide.formatError && !wide.checksumError && !wide.outsideFlash);
      REQUIRE(summary.insideBytes == wide.inside && summary.insideBytes > 0);
      REQUIRE(summary.outsideBytes == wide.outside);
      REQUIRE(!sheet.m_astrSelectedBlocks.empty());
      break;
    case CheckSummary::PassedEmpty:
    case CheckSummary::DeclinedEmpty:
      REQUIRE(ok == (summary.outcome == CheckSummary::PassedEmpty) && ok == yes);
      REQUIRE(!wide.formatError && !wide.checksumError && wide.inside == 0);
      REQUIRE(sheet.m_astrSelectedBlocks.empty());
      break;
    case CheckSummary::FormatError:
    case CheckSummary::UnknownFormat:
      REQUIRE(!ok && wide.formatError && !binary);
      break;
    case CheckSummary::Overlap:
    case CheckSummary::ReservedOverlap:
      REQUIRE(false);  // a set of one, nothing reserved
      break;
    case CheckSummary::ChecksumMismatch:
      REQUIRE(!ok && wide.checksumError);
      break;
    case CheckSummary::OutsideFlash:
      REQUIRE(!ok && wide.outsideFlash);
      break;
    case CheckSummary::FileError:
      REQUIRE(false);
      break;
  }
  // A file the check accepts reads the same whatever buffer the programming pass uses, except
  // that a record too long for the small one is refused there rather than written past it.
  if (ok && !narrow.formatError) {
    REQUIRE(narrow.inside == wide.inside && narrow.outside == wide.outside);
  }
  for (std::size_t i = 0; i < sheet.m_astrSelectedBlocks.size(); ++i) {
    const std::string& name = sheet.m_astrSelectedBlocks[i];
    bool inMap = false;
    for (int b = 0; b < mode.blockCount; ++b) inMap = inMap || name == mode.blocks[b].name;
    REQUIRE(inMap);
    REQUIRE(std::find(sheet.m_astrSelectedBlocks.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                      sheet.m_astrSelectedBlocks.end(), name) == sheet.m_astrSelectedBlocks.end());
  }
  return 0;
}
