#include "records/board_value.h"

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>

namespace quill::records {

const char* const kValueFormats = "u16le, u16be, u32le, u32be, u64le, u64be, dec:N (N 1 to 19), mac";

bool ReadValueList(const std::string& path, std::vector<std::string>& values) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;  // blank lines hold no value
    values.push_back(line.substr(first, line.find_last_not_of(" \t") - first + 1));
  }
  return !in.bad();
}

std::optional<uint64_t> ParseNumber(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > (hex ? 16u : 20u)) return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : hex && std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : -1;
    if (digit < 0) return std::nullopt;
    const uint64_t base = hex ? 16 : 10;
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / base) return std::nullopt;
    value = value * base + static_cast<uint64_t>(digit);
  }
  return value;
}

std::optional<ValueFormat> ValueFormat::Parse(const std::string& text) {
  ValueFormat f;
  if (text == "mac") {
    f.kind = Mac;
    return f;
  }
  if (text.rfind("dec:", 0) == 0) {
    const std::optional<uint64_t> n = ParseNumber(text.substr(4));
    // 19 digits: every such number fits 64 bits.
    if (!n || *n < 1 || *n > 19 || text.substr(4).rfind("0x", 0) == 0) return std::nullopt;
    f.kind = Decimal;
    f.digits = static_cast<int>(*n);
    return f;
  }
  if (text.size() != 5 || text[0] != 'u') return std::nullopt;
  const std::string bits = text.substr(1, 2), order = text.substr(3);
  if (order != "le" && order != "be") return std::nullopt;
  f.bigEndian = order == "be";
  if (bits == "16") f.kind = U16;
  else if (bits == "32") f.kind = U32;
  else if (bits == "64") f.kind = U64;
  else return std::nullopt;
  return f;
}

std::string ValueFormat::Name() const {
  switch (kind) {
    case U16: return bigEndian ? "u16be" : "u16le";
    case U32: return bigEndian ? "u32be" : "u32le";
    case U64: return bigEndian ? "u64be" : "u64le";
    case Decimal: return "dec:" + std::to_string(digits);
    case Mac: return "mac";
  }
  return {};
}

uint32_t ValueFormat::Size() const {
  switch (kind) {
    case U16: return 2;
    case U32: return 4;
    case U64: return 8;
    case Decimal: return static_cast<uint32_t>(digits);
    case Mac: return 6;
  }
  return 0;
}

uint64_t ValueFormat::Max() const {
  switch (kind) {
    case U16: return 0xFFFF;
    case U32: return 0xFFFFFFFF;
    case U64: return UINT64_MAX;
    case Mac: return 0xFFFFFFFFFFFF;
    case Decimal: {
      uint64_t max = 1;
      for (int i = 0; i < digits; ++i) max *= 10;
      return max - 1;
    }
  }
  return 0;
}

std::optional<uint64_t> ValueFormat::Read(const std::string& text) const {
  if (kind == Mac && text.size() == 17) {
    uint64_t value = 0;
    for (int i = 0; i < 6; ++i) {
      const std::string pair = text.substr(static_cast<std::size_t>(i) * 3, 2);
      if (i < 5 && text[static_cast<std::size_t>(i) * 3 + 2] != ':') return std::nullopt;
      const std::optional<uint64_t> byte = ParseNumber("0x" + pair);
      if (!byte || pair.size() != 2) return std::nullopt;
      value = value << 8 | *byte;
    }
    return value;
  }
  const std::optional<uint64_t> value = ParseNumber(text);
  if (!value || *value > Max()) return std::nullopt;
  return value;
}

std::vector<uint8_t> ValueFormat::Encode(uint64_t value) const {
  std::vector<uint8_t> bytes(Size());
  if (kind == Decimal) {
    for (std::size_t i = bytes.size(); i-- > 0; value /= 10) bytes[i] = static_cast<uint8_t>('0' + value % 10);
    return bytes;
  }
  // mac: the six bytes in the order they are written.
  const bool big = bigEndian || kind == Mac;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::size_t shift = 8 * (big ? bytes.size() - 1 - i : i);
    bytes[i] = static_cast<uint8_t>(value >> shift);
  }
  return bytes;
}

std::string LocalValueStore() { return "sqlite:" + InDataFolder("values.sqlite"); }

ValueTaker::ValueTaker(std::string url, ValueSource source)
    : url_(std::move(url)), source_(std::move(source)) {}

std::optional<TakenValue> ValueTaker::Take(std::string* why) {
  std::lock_guard lock(mutex_);
  if (!store_) store_ = MakeRecordStore(url_);
  const std::string where = "the value store " + ShownUrl(url_);
  std::string error;
  if (source_.list) {
    if (!listLoaded_) {
      if (!store_->LoadList(source_.name, source_.values, &error)) {
        *why = where + " cannot be reached: " + error;
        return std::nullopt;
      }
      listLoaded_ = true;
    }
    std::string text;
    switch (store_->TakeListValue(source_.name, &text, &error)) {
      case RecordStore::Taken::Failed:
        *why = where + " cannot be reached: " + error;
        return std::nullopt;
      case RecordStore::Taken::Exhausted:
        *why = "the list '" + source_.name + "' is used up: every value of it has been taken";
        return std::nullopt;
      case RecordStore::Taken::Yes:
        break;
    }
    const std::optional<uint64_t> value = source_.format.Read(text);
    if (!value) {
      // Taken all the same: no board gets it, and the next board gets the next line.
      *why = "the list '" + source_.name + "' value '" + text + "' does not fit " + source_.format.Name();
      return std::nullopt;
    }
    return TakenValue{text, source_.format.Encode(*value)};
  }
  uint64_t value = 0;
  switch (store_->TakeCounter(source_.name, source_.from, source_.step, source_.format.Max(), &value,
                              &error)) {
    case RecordStore::Taken::Failed:
      *why = where + " cannot be reached: " + error;
      return std::nullopt;
    case RecordStore::Taken::Exhausted:
      *why = "the counter '" + source_.name + "' is past the largest value of " + source_.format.Name() +
             " (" + std::to_string(source_.format.Max()) + ")";
      return std::nullopt;
    case RecordStore::Taken::Yes:
      break;
  }
  return TakenValue{std::to_string(value), source_.format.Encode(value)};
}

namespace {

// The board's value from the store, on the worker's thread.
class StoreValueSource final : public BoardValueSource {
 public:
  StoreValueSource(uint32_t address, std::string url, ValueSource source)
      : m_address(address), m_taker(std::move(url), std::move(source)) {}
  uint32_t Address() const override { return m_address; }
  bool Take(std::string& text, std::vector<uint8_t>& bytes, std::string* why) override {
    std::optional<TakenValue> value = m_taker.Take(why);
    if (!value) return false;
    text = std::move(value->text);
    bytes = std::move(value->bytes);
    return true;
  }

 private:
  uint32_t m_address;
  ValueTaker m_taker;
};

}  // namespace

std::shared_ptr<BoardValueSource> MakeValueSource(uint32_t address, std::string url,
                                                  ValueSource source) {
  if (url.empty()) {
    url = LocalValueStore();
    std::error_code ec;
    std::filesystem::create_directories(DataFolder(), ec);
  }
  return std::make_shared<StoreValueSource>(address, std::move(url), std::move(source));
}

}  // namespace quill::records
