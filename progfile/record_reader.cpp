#include "progfile/record_reader.h"

namespace quill {

namespace {

constexpr FormatEntry kFormats[] = {
    {FileFormat::SRecord, 'S', MakeSRecordReader},
    {FileFormat::IntelHex, ':', MakeIntelHexReader},
    {FileFormat::Binary, '\0', MakeBinaryReader},
};

}  // namespace

std::span<const FormatEntry> FormatTable() { return kFormats; }

const FormatEntry* FindFormat(FileFormat format) {
  for (const FormatEntry& entry : kFormats)
    if (entry.format == format) return &entry;
  return nullptr;
}

}  // namespace quill
