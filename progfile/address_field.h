// The numeric address fields of the file pages (offset, lowest and highest address): formatting
// a value into a field, parsing a field's text, and checking a value against a range. The pages
// call these and show the message of a failure; the command line takes its address options
// through them as well.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quill {


// "H'%lX" (upper-case digits, no leading zeros) when hexDefault, else "%lu".
std::string FormatAddressField(uint32_t value, bool hexDefault);

struct AddressFieldResult {
  bool ok = false;
  // Whether value is to be stored in the field's member. A text that converts only partly still
  // stores what was converted (and fails); an empty text stores nothing.
  bool stored = false;
  uint32_t value = 0;
  uint32_t messageId = 0;  // StrId::InvalidNumber on failure, 0 on success
  std::string Message() const;
};

// Parses a field's text: blanks around it are dropped, letters taken as upper case; H' or D'
// select base 16 or 10 (only in texts longer than two characters), otherwise base 16 when
// hexDefault; then the rules of a 32-bit strtoul: a sign (minus gives the two's complement),
// 0X in base 16, 0xFFFFFFFF for a value beyond 32 bits.
AddressFieldResult ParseAddressField(std::string_view text, bool hexDefault);

// ParseAddressField, storing into member what the result says to store.
AddressFieldResult SaveAddressField(std::string_view text, bool hexDefault, uint32_t& member);

struct RangeCheckResult {
  bool ok = true;
  std::string message;  // message 165 with value, min and max when not ok
};

// min <= value <= max, unsigned.
RangeCheckResult CheckAddressRange(uint32_t value, uint32_t min, uint32_t max);

}  // namespace quill
