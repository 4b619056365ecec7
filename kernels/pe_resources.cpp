#include "kernels/pe_resources.h"

#include <algorithm>

namespace quill {
namespace {

// Little-endian reads that fail instead of reading past the end.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> data) : data_(data) {}
  bool Fits(uint64_t offset, uint64_t length) const {
    return offset <= data_.size() && length <= data_.size() - offset;
  }
  bool U16(uint64_t offset, uint32_t& value) const {
    if (!Fits(offset, 2)) return false;
    value = data_[offset] | (data_[offset + 1] << 8);
    return true;
  }
  bool U32(uint64_t offset, uint32_t& value) const {
    if (!Fits(offset, 4)) return false;
    value = static_cast<uint32_t>(data_[offset]) | (static_cast<uint32_t>(data_[offset + 1]) << 8) |
            (static_cast<uint32_t>(data_[offset + 2]) << 16) |
            (static_cast<uint32_t>(data_[offset + 3]) << 24);
    return true;
  }
  std::span<const uint8_t> Bytes(uint64_t offset, uint64_t length) const {
    return data_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
  }

 private:
  std::span<const uint8_t> data_;
};

struct Section {
  uint32_t virtualAddress;
  uint32_t virtualSize;
  uint32_t rawOffset;
  uint32_t rawSize;
};

constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr uint32_t kNameStringBit = 0x80000000u;
// A resource tree is type, name, language; each level is a directory of 16 bytes followed by
// entries of 8. A tree deeper than that, or a leaf where a directory belongs, is damage.
constexpr uint32_t kDirectoryHeader = 16;
constexpr uint32_t kEntrySize = 8;
constexpr uint32_t kDataEntrySize = 16;
// A hostile tree can point many entries at the same large data; stop well before that costs
// memory. A real kernel set is a few dozen images of a few kilobytes.
constexpr std::size_t kMaxResources = 4096;
constexpr uint64_t kMaxTotalBytes = 64u << 20;

class PeModule {
 public:
  explicit PeModule(std::span<const uint8_t> data) : in_(data) {}

  bool Parse(std::string& error) {
    uint32_t peOffset = 0, signature = 0, sectionCount = 0, optionalSize = 0, magic = 0;
    if (!in_.U16(0, magic) || magic != 0x5A4D) return Fail(error, "no DOS header (MZ)");
    if (!in_.U32(0x3C, peOffset) || !in_.U32(peOffset, signature) || signature != 0x00004550)
      return Fail(error, "no PE header where the DOS header points");
    const uint64_t coff = uint64_t{peOffset} + 4;
    if (!in_.U16(coff + 2, sectionCount) || !in_.U16(coff + 16, optionalSize))
      return Fail(error, "the file header is cut short");
    const uint64_t optional = coff + 20;
    if (!in_.U16(optional, magic)) return Fail(error, "the optional header is cut short");
    uint64_t directories = 0, countField = 0;
    if (magic == 0x10B) {
      countField = optional + 92;
      directories = optional + 96;
    } else if (magic == 0x20B) {
      countField = optional + 108;
      directories = optional + 112;
    } else {
      return Fail(error, "unknown optional header kind");
    }
    uint32_t directoryCount = 0;
    if (!in_.U32(countField, directoryCount) || directories + uint64_t{directoryCount} * 8 >
                                                     optional + optionalSize)
      return Fail(error, "the data directories reach past the optional header");
    if (directoryCount > kResourceDirectoryIndex) {
      if (!in_.U32(directories + kResourceDirectoryIndex * 8, resourceRva_) ||
          !in_.U32(directories + kResourceDirectoryIndex * 8 + 4, resourceSize_))
        return Fail(error, "the resource directory entry is cut short");
    }
    const uint64_t sectionTable = optional + optionalSize;
    if (!in_.Fits(sectionTable, uint64_t{sectionCount} * 40))
      return Fail(error, "the section table reaches past the end of the file");
    for (uint32_t i = 0; i < sectionCount; ++i) {
      const uint64_t at = sectionTable + uint64_t{i} * 40;
      Section s{};
      in_.U32(at + 8, s.virtualSize);
      in_.U32(at + 12, s.virtualAddress);
      in_.U32(at + 16, s.rawSize);
      in_.U32(at + 20, s.rawOffset);
      sections_.push_back(s);
    }
    return true;
  }

  bool HasResources() const { return resourceRva_ != 0 && resourceSize_ != 0; }

  // The file offset of length bytes at rva, when they lie within one section's file data.
  bool MapRva(uint32_t rva, uint32_t length, uint64_t& offset) const {
    for (const Section& s : sections_) {
      const uint64_t inSection = std::max(s.virtualSize, s.rawSize);
      if (rva < s.virtualAddress || uint64_t{rva} - s.virtualAddress >= inSection) continue;
      const uint64_t delta = uint64_t{rva} - s.virtualAddress;
      if (delta + length > s.rawSize) return false;  // not backed by the file
      offset = uint64_t{s.rawOffset} + delta;
      return in_.Fits(offset, length);
    }
    return false;
  }

  bool ReadType(const std::string& type, std::vector<PeResource>& out, std::string& error) {
    uint64_t root = 0;
    if (!MapRva(resourceRva_, resourceSize_, root))
      return Fail(error, "the resource directory reaches past the end of the file");
    base_ = root;
    limit_ = resourceSize_;
    std::vector<Entry> types;
    if (!ReadDirectory(0, types, error)) return false;
    for (const Entry& t : types) {
      if (!t.named || !t.subdirectory) continue;
      std::string name;
      if (!ReadName(t.nameOffset, name, error)) return false;
      if (name != type) continue;
      std::vector<Entry> names;
      if (!ReadDirectory(t.target, names, error)) return false;
      for (const Entry& n : names) {
        if (!n.subdirectory) return Fail(error, "a resource name without a language directory");
        if (n.named) continue;  // string-named resources carry no id
        std::vector<Entry> languages;
        if (!ReadDirectory(n.target, languages, error)) return false;
        if (languages.empty()) continue;
        const Entry& leaf = languages.front();
        if (leaf.subdirectory) return Fail(error, "the resource tree is deeper than three levels");
        PeResource resource;
        resource.id = n.id;
        if (!ReadData(leaf.target, resource.bytes, error)) return false;
        total_ += resource.bytes.size();
        if (out.size() >= kMaxResources || total_ > kMaxTotalBytes)
          return Fail(error, "the resource tree names more data than a module can hold");
        out.push_back(std::move(resource));
      }
    }
    return true;
  }

 private:
  struct Entry {
    bool named = false;
    uint32_t id = 0;
    uint32_t nameOffset = 0;
    bool subdirectory = false;
    uint32_t target = 0;
  };

  static bool Fail(std::string& error, const char* why) {
    error = why;
    return false;
  }

  bool InTree(uint64_t offset, uint64_t length) const {
    return offset <= limit_ && length <= limit_ - offset;
  }

  bool ReadDirectory(uint32_t offset, std::vector<Entry>& entries, std::string& error) {
    uint32_t named = 0, ids = 0;
    if (!InTree(offset, kDirectoryHeader) || !in_.U16(base_ + offset + 12, named) ||
        !in_.U16(base_ + offset + 14, ids))
      return Fail(error, "a resource directory reaches past the resource data");
    const uint64_t count = uint64_t{named} + ids;
    if (!InTree(uint64_t{offset} + kDirectoryHeader, count * kEntrySize))
      return Fail(error, "a resource directory's entries reach past the resource data");
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t at = base_ + offset + kDirectoryHeader + i * kEntrySize;
      uint32_t name = 0, target = 0;
      in_.U32(at, name);
      in_.U32(at + 4, target);
      Entry e;
      e.named = (name & kNameStringBit) != 0;
      e.nameOffset = name & ~kNameStringBit;
      e.id = name;
      e.subdirectory = (target & kSubdirectoryBit) != 0;
      e.target = target & ~kSubdirectoryBit;
      // Each level is visited once, from the root downwards, so a directory pointing back at
      // itself or at its parent cannot make the walk go round.
      entries.push_back(e);
    }
    return true;
  }

  bool ReadName(uint32_t offset, std::string& name, std::string& error) {
    uint32_t length = 0;
    if (!InTree(offset, 2) || !in_.U16(base_ + offset, length) ||
        !InTree(uint64_t{offset} + 2, uint64_t{length} * 2))
      return Fail(error, "a resource type name reaches past the resource data");
    name.clear();
    for (uint32_t i = 0; i < length; ++i) {
      uint32_t c = 0;
      in_.U16(base_ + offset + 2 + i * 2, c);
      name += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return true;
  }

  bool ReadData(uint32_t offset, std::vector<uint8_t>& bytes, std::string& error) {
    uint32_t rva = 0, size = 0;
    if (!InTree(offset, kDataEntrySize) || !in_.U32(base_ + offset, rva) ||
        !in_.U32(base_ + offset + 4, size))
      return Fail(error, "a resource entry reaches past the resource data");
    uint64_t at = 0;
    if (!MapRva(rva, size, at)) return Fail(error, "a resource's data reaches past the end of the file");
    const auto span = in_.Bytes(at, size);
    bytes.assign(span.begin(), span.end());
    return true;
  }

  Reader in_;
  std::vector<Section> sections_;
  uint32_t resourceRva_ = 0;
  uint32_t resourceSize_ = 0;
  uint64_t base_ = 0;
  uint64_t limit_ = 0;
  uint64_t total_ = 0;
};

}  // namespace

bool LooksLikePeModule(std::span<const uint8_t> data) {
  return data.size() >= 2 && data[0] == 'M' && data[1] == 'Z';
}

bool ReadPeResources(std::span<const uint8_t> data, const std::string& type,
                     std::vector<PeResource>& resources, std::string& error) {
  resources.clear();
  PeModule module(data);
  if (!module.Parse(error)) return false;
  if (!module.HasResources()) return true;
  std::vector<PeResource> found;
  if (!module.ReadType(type, found, error)) return false;
  resources = std::move(found);
  return true;
}

}  // namespace quill
