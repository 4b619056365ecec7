// The message formatter for the %n!fmt! insert syntax of the string table.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace quill {

// One insert argument: a 32-bit number (taken as signed or unsigned by its conversion) or a text.
class MsgArg {
 public:
  MsgArg(int32_t v) : value_(static_cast<uint32_t>(v)) {}
  MsgArg(uint32_t v) : value_(v) {}
  MsgArg(const char* s) : value_(std::string(s ? s : "")) {}
  MsgArg(std::string s) : value_(std::move(s)) {}
  MsgArg(std::string_view s) : value_(std::string(s)) {}

  bool IsText() const { return std::holds_alternative<std::string>(value_); }
  uint32_t Number() const { return IsText() ? 0u : std::get<uint32_t>(value_); }
  const std::string& Text() const;

 private:
  std::variant<uint32_t, std::string> value_;
};

// Replaces %n (n = 1..99) by insert argument n, converted by the printf-style conversion between
// the exclamation marks of %n!fmt! ("s" when there is none): d, i and ld are signed decimal, u
// unsigned decimal, x and X hexadecimal, c a character, s a text; flags, width and precision are
// honoured. Numbers are 32-bit, as on the system the texts were written for. "%%" gives one "%".
// An insert without a matching argument, or with a conversion it cannot apply, is copied
// unchanged; every other character is copied unchanged.
std::string FormatMessage(std::string_view format, std::initializer_list<MsgArg> args);

// The same on the string-table text of id.
std::string FormatString(uint32_t id, std::initializer_list<MsgArg> args);

}  // namespace quill
