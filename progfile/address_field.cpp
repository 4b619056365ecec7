#include "progfile/address_field.h"

#include <cstdio>

#include "resources/format.h"
#include "resources/strings.h"

namespace quill {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char ToUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;  // text is upper case by now
  return 99;
}

// strtoul as on a system with a 32-bit unsigned long, on upper-case text. Returns the value and
// sets end to the index where conversion stopped (0 when nothing was converted).
uint32_t StrToUL32(std::string_view s, int base, std::size_t& end) {
  std::size_t i = 0;
  while (i < s.size() && IsSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  // "0X" is a prefix only when a hexadecimal digit follows; otherwise the "0" is the number.
  if (base == 16 && i + 2 < s.size() && s[i] == '0' && s[i + 1] == 'X' &&
      DigitValue(s[i + 2]) < 16) {
    i += 2;
  }
  const std::size_t digitsBegin = i;
  uint64_t value = 0;
  bool overflow = false;
  while (i < s.size() && DigitValue(s[i]) < base) {
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(DigitValue(s[i]));
    if (value > 0xFFFFFFFFu) {
      overflow = true;
      value = 0xFFFFFFFFu;  // keeps the product small; the digits are still consumed
    }
    ++i;
  }
  if (i == digitsBegin) {
    end = 0;
    return 0;
  }
  end = i;
  if (overflow) return 0xFFFFFFFFu;
  const uint32_t v = static_cast<uint32_t>(value);
  return negative ? static_cast<uint32_t>(0u - v) : v;
}

}  // namespace

std::string FormatAddressField(uint32_t value, bool hexDefault) {
  char text[16];
  std::snprintf(text, sizeof text, hexDefault ? "H'%X" : "%u", static_cast<unsigned>(value));
  return text;
}

std::string AddressFieldResult::Message() const { return ok ? std::string() : LoadString(messageId); }

AddressFieldResult ParseAddressField(std::string_view text, bool hexDefault) {
  AddressFieldResult result;
  std::size_t b = 0, e = text.size();
  while (b < e && IsSpace(text[b])) ++b;
  while (e > b && IsSpace(text[e - 1])) --e;
  std::string upper(text.substr(b, e - b));
  for (char& c : upper) c = ToUpper(c);
  if (upper.empty()) {
    result.messageId = StrId::InvalidNumber;
    return result;
  }
  int base = hexDefault ? 16 : 10;
  std::string_view rest = upper;
  if (rest.size() > 2) {
    if (rest.substr(0, 2) == "H'") {
      base = 16;
      rest.remove_prefix(2);
    } else if (rest.substr(0, 2) == "D'") {
      base = 10;
      rest.remove_prefix(2);
    }
  }
  std::size_t end = 0;
  result.value = StrToUL32(rest, base, end);
  result.stored = true;
  result.ok = end == rest.size();
  result.messageId = result.ok ? 0 : StrId::InvalidNumber;
  return result;
}

AddressFieldResult SaveAddressField(std::string_view text, bool hexDefault, uint32_t& member) {
  AddressFieldResult result = ParseAddressField(text, hexDefault);
  if (result.stored) member = result.value;
  return result;
}

RangeCheckResult CheckAddressRange(uint32_t value, uint32_t min, uint32_t max) {
  RangeCheckResult result;
  if (value < min || value > max) {
    result.ok = false;
    result.message = FormatString(StrId::AddressRange, {value, min, max});
  }
  return result;
}

}  // namespace quill
