// A board's own value (a serial number, a MAC address): its format and bytes, and where the values
// come from, a counter or a list kept in a store, so that no two boards ever get the same one
// whichever station takes it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/operation_plan.h"
#include "records/record_store.h"

namespace quill::records {

// How a value is written into the flash.
struct ValueFormat {
  enum Kind { U16, U32, U64, Decimal, Mac } kind = U32;
  bool bigEndian = false;
  int digits = 0;  // Decimal: the number of ASCII digits

  // u16le, u16be, u32le, u32be, u64le, u64be, dec:N (N 1..19), mac. Nothing for another text.
  static std::optional<ValueFormat> Parse(const std::string& text);
  std::string Name() const;
  // The bytes the value takes in the flash.
  uint32_t Size() const;
  // The largest value the format holds.
  uint64_t Max() const;
  // A value as written in a list or on the command line: decimal or 0x hexadecimal, or for mac
  // six bytes written 00:1A:2B:3C:4D:5E. Nothing when it is no such value or does not fit.
  std::optional<uint64_t> Read(const std::string& text) const;
  // The value's bytes in the flash (value within Max()).
  std::vector<uint8_t> Encode(uint64_t value) const;
};

// The formats as a usage line lists them.
extern const char* const kValueFormats;

// A number written in decimal or with 0x in hexadecimal, up to 2^64 - 1.
std::optional<uint64_t> ParseNumber(const std::string& text);

// Where a run's values come from: a counter (from, step) or a list (its values in order).
struct ValueSource {
  std::string name;  // the counter's or list's name in the store
  ValueFormat format;
  uint64_t from = 0, step = 1;
  bool list = false;
  std::vector<std::string> values;  // the list's lines, as written
};

// A list file's values: one a line, blanks around them and blank lines dropped. False when the
// file cannot be read.
bool ReadValueList(const std::string& path, std::vector<std::string>& values);

// One value taken for a board: its text (the counter's decimal, or the list's line) and bytes.
struct TakenValue {
  std::string text;
  std::vector<uint8_t> bytes;
};

// Takes values from the store at url (which must be able to hold them: sqlite:PATH or PostgreSQL)
// for the boards of one process, each in one transaction of the store; safe to call from several
// boards' threads at once.
class ValueTaker {
 public:
  ValueTaker(std::string url, ValueSource source);
  // The board's value; nothing with the reason when none can be taken (the store cannot be
  // reached, the counter is past its format's largest value, the list is used up, a list line
  // does not fit the format).
  std::optional<TakenValue> Take(std::string* why);

 private:
  const std::string url_;
  const ValueSource source_;
  std::mutex mutex_;
  std::unique_ptr<RecordStore> store_;
  bool listLoaded_ = false;
};

// The local store of values when no record store is given: DataFolder()/values.sqlite.
std::string LocalValueStore();

// The communication object's value hook for the boards of a run: each board's value taken from
// the store at url, or with url empty from LocalValueStore() (its folder made when missing).
std::shared_ptr<BoardValueSource> MakeValueSource(uint32_t address, std::string url,
                                                  ValueSource source);

}  // namespace quill::records
