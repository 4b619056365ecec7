#include <cstdio>
#include <iostream>

#include "cli/cli.h"
#include "device/catalogue.h"
#include "progfile/address_field.h"
#include "resources/strings.h"

namespace quill::cli {

namespace {

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

const std::string* Options::Value(const std::string& name) const {
  const auto it = values.find(name);
  return it == values.end() ? nullptr : &it->second;
}

Options ParseOptions(const std::string& command, const std::vector<std::string>& args,
                     const std::vector<OptionSpec>& specs) {
  auto accepted = [&] {
    std::string list;
    for (const OptionSpec& spec : specs) {
      if (!list.empty()) list += ", ";
      list += spec.name;
    }
    return list.empty() ? std::string("none") : list;
  };
  Options options;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      options.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    const auto equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionSpec* spec = nullptr;
    for (const OptionSpec& s : specs) {
      if (name == s.name) spec = &s;
    }
    if (spec == nullptr) {
      throw UsageError("unknown option '" + name + "' for " + command + "; accepted: " +
                       accepted());
    }
    if (spec->inOperands) {
      options.positional.push_back(name);
      if (equals != std::string::npos) options.positional.push_back(arg.substr(equals + 1));
      continue;
    }
    if (options.Has(name)) throw UsageError(name + " given more than once");
    if (!spec->takesValue) {
      if (equals != std::string::npos) throw UsageError(name + " takes no value");
      options.flags.insert(name);
      continue;
    }
    if (equals != std::string::npos) {
      options.values[name] = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      options.values[name] = args[++i];
    } else {
      throw UsageError(name + " needs a value");
    }
  }
  return options;
}

const std::string& SingleFileOperand(const Options& options) {
  if (options.positional.empty()) throw UsageError("missing FILE: the S-record file to use");
  if (options.positional.size() > 1) {
    throw UsageError("unexpected argument '" + options.positional[1] + "': only one FILE is accepted");
  }
  return options.positional.front();
}

void ApplyDeviceOptions(const Options& options, WizardState& state) {
  const std::string* name = options.Value("--device");
  if (name == nullptr) throw UsageError("--device is required; accepted: " + DeviceNames());
  const DeviceType* device = FindDeviceByName(*name);
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
      if (*text == modeName || *text == ModeNumber(modeName)) mode = i;
      accepted += (accepted.empty() ? "\"" : ", \"") + modeName + "\" or " + ModeNumber(modeName);
    }
    if (mode < 0) {
      throw UsageError("--mode '" + *text + "' is not a mode of " + *name + "; accepted: " +
                       accepted);
    }
  }
  state.m_strMCUType = *name;
  state.m_nMCUMode = mode;
  state.DeriveCatalogueRefs();
}

void ApplyAddressOptions(const Options& options, WizardState& state) {
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
