#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <utility>

#include "cli/cli.h"
#include "device/catalogue.h"
#include "progfile/address_field.h"
#include "resources/strings.h"

namespace quill::cli {

namespace {

// The short forms of the options users type from habit.
constexpr std::pair<char, const char*> kShortOptions[] = {
    {'p', "--port"}, {'b', "--baud"},  {'d', "--device"}, {'m', "--mode"},
    {'c', "--clock"}, {'q', "--quiet"}, {'v', "--trace"}};

// Defaults from the environment for the options a station sets once.
constexpr std::pair<const char*, const char*> kEnvironmentDefaults[] = {
    {"--port", "QUILL_PORT"}, {"--device", "QUILL_DEVICE"}, {"--mode", "QUILL_MODE"},
    {"--clock", "QUILL_CLOCK"}, {"--baud", "QUILL_BAUD"}, {"--records", "QUILL_RECORDS"}};

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string DeviceNames() {
  std::string names;
  for (int i = 0; i < GetDeviceCount(); ++i) {
    if (!names.empty()) names += ", ";
    names += GetDevice(i)->GetName();
  }
  return names;
}

std::string MultiModeDeviceNames() {
  std::string names;
  for (int i = 0; i < GetDeviceCount(); ++i) {
    if (GetDevice(i)->modeCount < 2) continue;
    if (!names.empty()) names += ", ";
    names += GetDevice(i)->GetName();
  }
  return names;
}

// The number in a mode's name: its last word ("2" of "Mode 2").
std::string ModeNumber(const std::string& name) {
  const auto blank = name.find_last_of(' ');
  return blank == std::string::npos ? name : name.substr(blank + 1);
}

// Parses one address option into value; throws UsageError with the field's message.
void ParseAddressOption(const Options& options, const char* name, uint32_t& value) {
  const std::string* text = options.Value(name);
  if (text == nullptr) return;
  const AddressFieldResult result = ParseAddressField(*text, true);
  if (!result.ok) {
    throw UsageError(std::string(name) + " '" + *text + "': " + result.Message());
  }
  value = result.value;
}

void CheckAddressOption(const char* name, uint32_t value, uint32_t min, uint32_t max) {
  const RangeCheckResult range = CheckAddressRange(value, min, max);
  if (!range.ok) {
    throw UsageError(std::string(name) + " " + FormatAddressField(value, true) + ": " +
                     range.message);
  }
}

}  // namespace

Options ParseOptions(const std::string& command, const std::vector<std::string>& args,
                     const std::vector<OptionSpec>& specs) {
  return ParseArguments(command, args, specs, {kShortOptions, kEnvironmentDefaults});
}

void ApplyDeviceOptions(const Options& options, Job& state) {
  const std::string* name = options.Value("--device");
  if (name == nullptr) throw UsageError("--device is required; accepted: " + DeviceNames());
  const DeviceType* device = nullptr;
  for (int i = 0; i < GetDeviceCount(); ++i) {
    if (SameIgnoringCase(*name, GetDevice(i)->GetName())) device = GetDevice(i);
  }
  if (device == nullptr) {
    throw UsageError("--device '" + *name + "' is not a device; accepted: " + DeviceNames());
  }
  int mode = 0;
  if (const std::string* text = options.Value("--mode")) {
    if (device->modeCount < 2) {
      throw UsageError("--mode: " + *name + " has a single mode; --mode is accepted only for " +
                       MultiModeDeviceNames());
    }
    mode = -1;
    std::string accepted;
    for (int i = 0; i < device->modeCount; ++i) {
      const std::string modeName = LoadString(device->modes[i].nameId);
      if (SameIgnoringCase(*text, modeName) || *text == ModeNumber(modeName)) mode = i;
      accepted += (accepted.empty() ? "\"" : ", \"") + modeName + "\" or " + ModeNumber(modeName);
    }
    if (mode < 0) {
      throw UsageError("--mode '" + *text + "' is not a mode of " + *name + "; accepted: " +
                       accepted);
    }
  }
  state.m_strMCUType = device->GetName();
  state.m_nMCUMode = mode;
  state.DeriveCatalogueRefs();
}

void ApplyAddressOptions(const Options& options, Job& state) {
  const int mode = state.ModeIndex();
  const uint32_t flashLowest = state.m_pDevice->GetFlashLowest(mode);
  const uint32_t flashHighest = state.m_pDevice->GetFlashHighest(mode);
  uint32_t offset = 0;
  uint32_t lowest = flashLowest;
  uint32_t highest = flashHighest;
  // In the order of the file page's fields, each checked before the next is read.
  ParseAddressOption(options, "--offset", offset);
  ParseAddressOption(options, "--lowest", lowest);
  CheckAddressOption("--lowest", lowest, flashLowest, flashHighest);
  ParseAddressOption(options, "--highest", highest);
  CheckAddressOption("--highest", highest, lowest, flashHighest);
  state.m_dwOffset = offset;
  state.m_dwLowest = lowest;
  state.m_dwHighest = highest;
}

int ParseClockOption(const std::string& text, const Job& state) {
  const int mode = state.ModeIndex();
  const int count = state.m_pDevice->GetClockRangeCount(mode);
  const ClockRange* ranges = state.m_pDevice->GetClockRanges(mode);
  const std::string accepted = "; accepted: an index 0 to " + std::to_string(count - 1) +
                               ", or the target's clock frequency with its unit (16MHz, 9.8304MHz, 12000kHz)";
  // A bare number is an index; with a unit it is a frequency, exact to the hertz as decimals.
  std::size_t at = 0;
  uint64_t digits = 0, scale = 1;
  int countDigits = 0;
  bool point = false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '.' && !point) {
      point = true;
    } else if (c >= '0' && c <= '9' && countDigits < 12 && scale < 1000000000) {
      digits = digits * 10 + static_cast<uint64_t>(c - '0');
      ++countDigits;
      if (point) scale *= 10;
    } else {
      break;
    }
  }
  const std::string unit = text.substr(at);
  if (countDigits == 0) throw UsageError("--clock '" + text + "' is not accepted" + accepted);
  if (unit.empty()) {
    if (point || digits >= static_cast<uint64_t>(count)) {
      throw UsageError("--clock '" + text + "' is not accepted" + accepted);
    }
    return static_cast<int>(digits);
  }
  uint64_t multiplier = 0;
  if (SameIgnoringCase(unit, "Hz")) multiplier = 1;
  if (SameIgnoringCase(unit, "kHz")) multiplier = 1000;
  if (SameIgnoringCase(unit, "MHz")) multiplier = 1000000;
  if (multiplier == 0) {
    throw UsageError("--clock '" + text + "': the unit '" + unit + "' is not Hz, kHz or MHz" + accepted);
  }
  // frequency = value / scale, compared as value against bound * scale; at most 12 digits, 9 of
  // them after the point, keep both below 2^64.
  const uint64_t value = digits * multiplier;
  auto bound = [](const std::string& label, const char* mark) -> std::optional<uint64_t> {
    const auto where = label.find(mark);
    if (where == std::string::npos) return std::nullopt;
    return std::strtoull(label.c_str() + where + std::string(mark).size(), nullptr, 10) * 1000000ULL;
  };
  std::string labels;
  for (int i = 0; i < count; ++i) {
    const std::string label = LoadString(ranges[i].textId);
    labels += (labels.empty() ? "" : "; ") + label;
    const std::optional<uint64_t> low = bound(label, ">= ");
    const std::optional<uint64_t> high = bound(label, "< ");
    if (low && value < *low * scale) continue;
    if (high && value >= *high * scale) continue;
    return i;
  }
  throw UsageError("--clock '" + text + "' is in no clock range of " + state.m_strMCUType +
                   "; the ranges: " + labels);
}

void ConsoleReporter::ShowMessage(uint32_t, const std::string& text) {
  std::cerr << text << '\n';
}

bool ConsoleReporter::AskYesNo(uint32_t, const std::string& text) {
  // The question's statement is its first sentence; the tool never waits for an answer.
  const auto stop = text.find(". ");
  std::cerr << "warning: " << (stop == std::string::npos ? text : text.substr(0, stop + 1))
            << '\n';
  return true;
}

void ConsoleReporter::ReportFileError(const std::string& text) { std::cerr << text << '\n'; }

int ExitStatusForCheck(const CheckSummary& summary) {
  switch (summary.outcome) {
    case CheckSummary::Passed:
    case CheckSummary::PassedEmpty:
      return kExitSuccess;
    case CheckSummary::FileError:
      return kExitCannotOpen;
    case CheckSummary::DeclinedEmpty:
    case CheckSummary::FormatError:
    case CheckSummary::ChecksumMismatch:
    case CheckSummary::OutsideFlash:
    case CheckSummary::UnknownFormat:
    case CheckSummary::Overlap:
    case CheckSummary::ReservedOverlap:
      break;
  }
  return kExitInvalidFile;
}

std::string HexValue(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "H'%llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace quill::cli
