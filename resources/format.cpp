#include "resources/format.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "resources/strings.h"

namespace quill {

const std::string& MsgArg::Text() const {
  static const std::string empty;
  return IsText() ? std::get<std::string>(value_) : empty;
}

namespace {

// A printf conversion spec such as "lX" or "08x", taken apart: the flags, width and precision
// kept as written (bounded), the length letters dropped (arguments are 32-bit either way).
struct ConversionSpec {
  std::string flags, width, precision;
  char conversion = '\0';
};

bool ParseSpec(std::string_view spec, ConversionSpec& parsed) {
  std::size_t i = 0;
  while (i < spec.size() && std::string_view("-+ #0").find(spec[i]) != std::string_view::npos) {
    parsed.flags += spec[i++];
  }
  while (i < spec.size() && std::isdigit(static_cast<unsigned char>(spec[i])) &&
         parsed.width.size() < 3) {
    parsed.width += spec[i++];
  }
  if (i < spec.size() && spec[i] == '.') {
    parsed.precision.push_back('.');
    ++i;
    while (i < spec.size() && std::isdigit(static_cast<unsigned char>(spec[i])) &&
           parsed.precision.size() < 4) {
      parsed.precision += spec[i++];
    }
  }
  while (i < spec.size() && (spec[i] == 'l' || spec[i] == 'h')) ++i;
  if (i + 1 != spec.size()) return false;
  parsed.conversion = spec[i];
  return true;
}

// Formats one argument by a printf conversion spec such as "lX" or "08x"; false when the spec is
// not one this formatter accepts.
bool Convert(std::string_view spec, const MsgArg& arg, std::string& out) {
  ConversionSpec parsed;
  if (!ParseSpec(spec, parsed)) return false;
  const char conv = parsed.conversion;
  std::string head;
  head.reserve(16);
  head.push_back('%');
  head.append(parsed.flags).append(parsed.width).append(parsed.precision);
  const auto withLength = [&head](const char* length) {
    std::string f = head;
    f.append(length);
    return f;
  };
  // Room for the widest result: the width, or as many digits as the precision asks for.
  std::vector<char> buf(64 + std::stoul(parsed.width.empty() ? "0" : parsed.width) +
                        (parsed.precision.size() > 1 ? std::stoul(parsed.precision.substr(1)) : 0) +
                        (arg.IsText() ? arg.Text().size() : 0));
  int n = -1;
  switch (conv) {
    case 'd':
    case 'i':
      if (arg.IsText()) return false;
      n = std::snprintf(buf.data(), buf.size(), withLength("ld").c_str(),
                        static_cast<long>(static_cast<int32_t>(arg.Number())));
      break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      if (arg.IsText()) return false;
      n = std::snprintf(buf.data(), buf.size(), withLength(conv == 'u' ? "lu" : conv == 'x' ? "lx" : conv == 'X' ? "lX" : "lo").c_str(),
                        static_cast<unsigned long>(arg.Number()));
      break;
    case 'c':
      if (arg.IsText()) return false;
      n = std::snprintf(buf.data(), buf.size(), withLength("c").c_str(),
                        static_cast<int>(arg.Number() & 0xFF));
      break;
    case 's':
      if (arg.IsText()) {
        n = std::snprintf(buf.data(), buf.size(), withLength("s").c_str(), arg.Text().c_str());
      } else {
        n = std::snprintf(buf.data(), buf.size(), withLength("lu").c_str(),
                          static_cast<unsigned long>(arg.Number()));
      }
      break;
    default:
      return false;
  }
  if (n < 0) return false;
  out.append(buf.data(), std::min<std::size_t>(static_cast<std::size_t>(n), buf.size() - 1));
  return true;
}

}  // namespace

std::string FormatMessage(std::string_view format, std::initializer_list<MsgArg> args) {
  const std::vector<MsgArg> argv(args);
  std::string out;
  out.reserve(format.size() + 32);
  std::size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out += c;
      ++i;
      continue;
    }
    if (format[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    std::size_t j = i + 1;
    int number = 0;
    while (j < format.size() && j < i + 3 && std::isdigit(static_cast<unsigned char>(format[j]))) {
      number = number * 10 + (format[j] - '0');
      ++j;
    }
    if (j == i + 1 || number == 0) {  // not an insert
      out += c;
      ++i;
      continue;
    }
    std::string_view spec = "s";
    std::size_t end = j;
    if (j < format.size() && format[j] == '!') {
      const std::size_t close = format.find('!', j + 1);
      if (close == std::string_view::npos) {
        out.append(format.substr(i, j - i));
        i = j;
        continue;
      }
      spec = format.substr(j + 1, close - j - 1);
      end = close + 1;
    }
    std::string converted;
    if (static_cast<std::size_t>(number) <= argv.size() &&
        Convert(spec, argv[static_cast<std::size_t>(number) - 1], converted)) {
      out += converted;
    } else {
      out.append(format.substr(i, end - i));
    }
    i = end;
  }
  return out;
}

std::string FormatString(uint32_t id, std::initializer_list<MsgArg> args) {
  return FormatMessage(LoadString(id), args);
}

}  // namespace quill
