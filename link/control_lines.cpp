#include "link/control_lines.h"

#include <cctype>
#include <optional>
#include <vector>

namespace quill {
namespace {

constexpr const char* kAccepted =
    "accepted: vpp=LINE,mode=LINE with LINE dtr or rts, '!' before the Mode line to invert it "
    "(for example vpp=dtr,mode=rts or vpp=dtr,mode=!rts)";

std::string Trim(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::optional<ControlLine> LineNamed(const std::string& name) {
  if (name == "dtr") return ControlLine::Dtr;
  if (name == "rts") return ControlLine::Rts;
  return std::nullopt;
}

ControlLine Other(ControlLine line) {
  return line == ControlLine::Dtr ? ControlLine::Rts : ControlLine::Dtr;
}

}  // namespace

const char* LineName(ControlLine line) { return line == ControlLine::Dtr ? "dtr" : "rts"; }

std::string FormatLineMap(const LineMap& map) {
  return std::string("vpp=") + LineName(map.vpp) + ",mode=" + (map.modeInverted ? "!" : "") +
         LineName(map.mode);
}

bool ParseLineMap(const std::string& text, LineMap* map, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = "line map '" + text + "': " + what + "; " + kAccepted;
    return false;
  };
  if (Trim(text).empty()) return fail("it is empty");
  std::optional<ControlLine> vpp, mode;
  bool inverted = false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string part = Trim(text.substr(start, comma == std::string::npos ? comma : comma - start));
    const std::size_t equals = part.find('=');
    const std::string name = Lower(Trim(part.substr(0, equals)));
    if (name.empty()) return fail("a part names no switch");
    if (name != "vpp" && name != "mode") return fail("unknown switch '" + name + "' (vpp or mode)");
    if ((name == "vpp" ? vpp : mode).has_value()) return fail(name + " is given twice");
    if (equals == std::string::npos) return fail(name + " needs a line (" + name + "=dtr or " + name + "=rts)");
    std::string value = Lower(Trim(part.substr(equals + 1)));
    const bool bang = !value.empty() && value.front() == '!';
    if (bang) value = Trim(value.substr(1));
    const std::optional<ControlLine> line = LineNamed(value);
    if (!line) return fail("unknown line '" + value + "' for " + name + " (dtr or rts)");
    if (name == "vpp") {
      if (bang) {
        return fail("vpp cannot be inverted: a released line, as when the port is closed or the "
                    "program ends, must mean VPP off");
      }
      vpp = line;
    } else {
      mode = line;
      inverted = bang;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (!vpp) vpp = Other(*mode);
  if (!mode) mode = Other(*vpp);
  if (*vpp == *mode) return fail(std::string("vpp and mode cannot both be ") + LineName(*vpp));
  *map = LineMap{*vpp, *mode, inverted};
  return true;
}

}  // namespace quill
