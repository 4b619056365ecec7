#include "progfile/file_set.h"

#include <algorithm>
#include <iterator>

#include "progfile/user_exception.h"

namespace quill {

void CProgramFileSet::Open(const std::vector<ProgramFile>& files) {
  Close();
  std::vector<std::unique_ptr<CLoadFile>> readers;
  std::vector<uint64_t> lengths;
  uint64_t total = 0;
  for (const ProgramFile& file : files) {
    auto reader = std::make_unique<CLoadFile>();
    reader->Open(file.path, file.format, file.base);
    lengths.push_back(reader->GetLength());
    total += lengths.back();
    readers.push_back(std::move(reader));
  }
  files_ = files;
  readers_ = std::move(readers);
  lengths_ = std::move(lengths);
  length_ = total;
}

void CProgramFileSet::Close() {
  readers_.clear();
  files_.clear();
  lengths_.clear();
  length_ = before_ = 0;
  current_ = 0;
  started_ = false;
  piece_.clear();
  pieceDue_ = false;
}

void CProgramFileSet::AddPiece(uint32_t address, std::vector<uint8_t> bytes) {
  pieceAddress_ = address;
  piece_ = std::move(bytes);
  pieceDue_ = !piece_.empty();
}

uint64_t CProgramFileSet::GetPosition() const {
  if (readers_.empty()) return 0;
  return before_ + readers_[current_]->GetPosition();
}

ProgramFile CProgramFileSet::Resolved(int index) const {
  ProgramFile file = files_[static_cast<std::size_t>(index)];
  file.format = readers_[static_cast<std::size_t>(index)]->GetFormat();
  file.checkedLength = static_cast<int64_t>(lengths_[static_cast<std::size_t>(index)]);
  return file;
}

int CProgramFileSet::ReadRecord(ProgramRecord& record, uint8_t* data, int capacity) {
  while (current_ < readers_.size()) {
    CLoadFile& reader = *readers_[current_];
    const ProgramFile& file = files_[current_];
    // Raw binary has no records to go wrong: a changed length is the one sign of a change.
    const bool checkLength =
        reader.GetFormat() == FileFormat::Binary && file.checkedLength >= 0;
    auto changed = [&](uint64_t now) {
      if (checkLength && now != static_cast<uint64_t>(file.checkedLength)) {
        throw CUserException(CUserException::Changed,
                             file.path + " is " + std::to_string(now) + " bytes long now, " +
                                 std::to_string(file.checkedLength) + " when it was checked");
      }
    };
    if (!started_) {
      started_ = true;
      changed(reader.GetLength());
    }
    const int count = reader.ReadRecord(record.address, data, capacity);
    if (count >= 0) {
      record.pastTop = reader.IsPastTop();
      record.file = static_cast<int>(current_);
      return count;
    }
    changed(reader.GetPosition());
    if (current_ + 1 == readers_.size()) break;
    before_ += lengths_[current_];
    ++current_;
    started_ = false;
  }
  if (pieceDue_ && static_cast<int>(piece_.size()) <= capacity) {
    pieceDue_ = false;
    std::copy(piece_.begin(), piece_.end(), data);
    record.address = pieceAddress_;
    record.pastTop = false;
    record.file = static_cast<int>(files_.size());
    return static_cast<int>(piece_.size());
  }
  return -1;
}

void AddressRuns::Add(uint32_t first, uint32_t last) {
  uint64_t lo = first, hi = last;
  // Merge with a run that starts at or before first and reaches it (or ends just before it).
  auto it = runs_.upper_bound(first);
  if (it != runs_.begin()) {
    auto before = std::prev(it);
    if (uint64_t{before->second} + 1 >= lo) {
      lo = before->first;
      hi = std::max<uint64_t>(hi, before->second);
      it = runs_.erase(before);
    }
  }
  // And with every run that starts within first..last + 1.
  while (it != runs_.end() && it->first <= hi + 1) {
    hi = std::max<uint64_t>(hi, it->second);
    it = runs_.erase(it);
  }
  runs_.emplace(static_cast<uint32_t>(lo), static_cast<uint32_t>(hi));
}

std::optional<uint32_t> AddressRuns::FirstShared(const AddressRuns& a, const AddressRuns& b) {
  auto i = a.runs_.begin();
  auto j = b.runs_.begin();
  while (i != a.runs_.end() && j != b.runs_.end()) {
    const uint32_t lo = std::max(i->first, j->first);
    const uint32_t hi = std::min(i->second, j->second);
    if (lo <= hi) return lo;
    if (i->second < j->second) {
      ++i;
    } else {
      ++j;
    }
  }
  return std::nullopt;
}

}  // namespace quill
