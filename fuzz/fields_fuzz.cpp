// The address-field parser and the message formatter on arbitrary text. The first byte chooses:
// bit 0 clear, the rest is an address field's text (bit 1: hexadecimal default); bit 0 set, the
// rest is a message format, formatted with number and text inserts (bits 1-3 choose how many).
//
// Checked for a field: the result agrees with the C library's strtoul on the same text after the
// field's own trimming, upper-casing and H'/D' prefix (a value beyond 32 bits becoming
// 0xFFFFFFFF); blanks around the text and letter case change nothing; a value formatted into a
// field parses back to itself. For a format: no crash, no undefined behaviour, and text without
// inserts is copied as it stands.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "progfile/address_field.h"
#include "resources/format.h"
#include "fuzz/require.h"

namespace {

using namespace quill;

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

struct Reference {
  bool ok = false;
  uint32_t value = 0;
};

Reference ReferenceParse(std::string_view text, bool hexDefault) {
  std::size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  std::string upper(text.substr(b, e - b));
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  Reference ref;
  if (upper.empty()) return ref;
  int base = hexDefault ? 16 : 10;
  if (upper.size() > 2 && (upper.compare(0, 2, "H'") == 0 || upper.compare(0, 2, "D'") == 0)) {
    base = upper[0] == 'H' ? 16 : 10;
    upper.erase(0, 2);
  }
  // strtoul stops at an embedded zero byte; the field does not convert past it either.
  const char* begin = upper.c_str();
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(begin, &end, base);
  const bool range = errno == ERANGE;
  ref.ok = end != begin && static_cast<std::size_t>(end - begin) == upper.size();
  std::size_t i = 0;
  while (i < upper.size() && IsBlank(upper[i])) ++i;
  const bool negative = i < upper.size() && upper[i] == '-';
  const unsigned long long magnitude = negative ? 0ULL - v : v;
  ref.value = range || magnitude > 0xFFFFFFFFULL ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
  return ref;
}

void FuzzField(std::string_view text, bool hexDefault) {
  const AddressFieldResult got = ParseAddressField(text, hexDefault);
  const Reference ref = ReferenceParse(text, hexDefault);
  REQUIRE(got.ok == ref.ok);
  REQUIRE(got.ok == (got.messageId == 0));
  if (got.ok) {
    REQUIRE(got.stored);
    REQUIRE(got.value == ref.value);
    const std::string padded = " \t" + std::string(text) + "\r\n";
    const AddressFieldResult again = ParseAddressField(padded, hexDefault);
    REQUIRE(again.ok && again.value == got.value);
    std::string lower(text);
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    const AddressFieldResult lowered = ParseAddressField(lower, hexDefault);
    REQUIRE(lowered.ok && lowered.value == got.value);
    for (bool hex : {true, false}) {
      const AddressFieldResult back = ParseAddressField(FormatAddressField(got.value, hex), hex);
      REQUIRE(back.ok && back.value == got.value);
    }
  }
}

void FuzzFormat(std::string_view format, int inserts) {
  const std::string out = [&] {
    switch (inserts) {
      case 0: return FormatMessage(format, {});
      case 1: return FormatMessage(format, {0x1F000u});
      case 2: return FormatMessage(format, {int32_t{-1}, "text"});
      case 3: return FormatMessage(format, {0u, std::string(300, 'x'), 0x80000000u});
      default:
        return FormatMessage(format, {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, "%1!s!"});
    }
  }();
  if (format.find('%') == std::string_view::npos) REQUIRE(out == format);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) == 0) {
    FuzzField(text, (data[0] & 2) != 0);
  } else {
    FuzzFormat(text, (data[0] >> 1) & 7);
  }
  return 0;
}
