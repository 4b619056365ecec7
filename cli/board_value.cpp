// Each board's own value on the command line: --value and its counter or list checked into the
// job, the value's place in the flash checked against the window, the blocks and the files, and
// the source the boards' workers take their values from (a store's counter or list).
#include <filesystem>
#include <iostream>

#include "cli/link_run.h"
#include "progfile/address_field.h"
#include "progfile/program_image.h"

#include "records/board_value.h"

namespace quill::cli {

namespace {

std::pair<std::string, std::string> SplitAtColon(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return {text, ""};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

}  // namespace

int ParseValueOptions(const Options& options, LinkJob& job) {
  const std::string* value = options.Value("--value");
  if (value == nullptr) {
    for (const char* name : {"--value-from", "--value-list", "--value-name"}) {
      if (options.Has(name)) throw UsageError(std::string(name) + " needs --value ADDRESS:FORMAT");
    }
    return kExitSuccess;
  }
  ValueSetting setting;
  const auto [addressText, formatText] = SplitAtColon(*value);
  const AddressFieldResult address = ParseAddressField(addressText, true);
  if (!address.ok) throw UsageError("--value '" + *value + "': the address: " + address.Message());
  const std::optional<records::ValueFormat> format = records::ValueFormat::Parse(formatText);
  if (!format) {
    throw UsageError("--value '" + *value + "': '" + formatText + "' is no format; accepted: " + records::kValueFormats);
  }
  setting.address = address.value;
  setting.format = format->Name();
  setting.size = format->Size();
  const std::string* from = options.Value("--value-from");
  const std::string* list = options.Value("--value-list");
  if ((from == nullptr) == (list == nullptr)) {
    throw UsageError("--value needs one source: --value-from START[:STEP] or --value-list FILE");
  }
  if (from != nullptr) {
    const auto [startText, stepText] = SplitAtColon(*from);
    const std::optional<uint64_t> start = records::ParseNumber(startText);
    const std::optional<uint64_t> step = stepText.empty() ? std::optional<uint64_t>(1) : records::ParseNumber(stepText);
    if (!start || !step || *step == 0) {
      throw UsageError("--value-from '" + *from + "': START[:STEP] in decimal or 0x hexadecimal, "
                       "STEP from 1, default 1");
    }
    setting.from = *start;
    setting.step = *step;
  } else {
    setting.list = *list;
    if (!records::ReadValueList(*list, setting.values)) {
      std::cerr << "quill-cli: the value list '" << *list << "' cannot be opened\n";
      return kExitCannotOpen;
    }
  }
  if (const std::string* name = options.Value("--value-name")) {
    if (name->empty()) throw UsageError("--value-name needs a name");
    setting.name = *name;
  }
  job.state.m_dwReservedFirst = setting.address;
  job.state.m_nReservedLength = setting.size;
  job.value = std::move(setting);
  return kExitSuccess;
}

int CheckValuePlacement(LinkJob& job) {
  if (!job.value) return kExitSuccess;
  const ValueSetting& v = *job.value;
  // A boot erases the whole flash first: every block is one it programs.
  const ReservedPlace place = CheckReservedPlace(job.state, job.op == LinkOp::Boot);
  if (place.outcome == ReservedPlace::Inside) return kExitSuccess;
  std::cerr << "quill-cli: --value: the value's " << v.size << " bytes at "
            << FormatAddressField(v.address, true) << ' ' << ReservedPlaceProblem(place, job.state)
            << (place.outcome == ReservedPlace::BlockNotProgrammed ? " (--blocks)" : "")
            << "; nothing was sent\n";
  return kExitInvalidFile;
}

std::string ValueName(const LinkJob& job, const JobOrigin* origin) {
  if (!job.value) return {};
  if (!job.value->name.empty()) return job.value->name;
  if (origin != nullptr) return std::filesystem::path(origin->path).filename().string();
  return FormatAddressField(job.value->address, true) + ":" + job.value->format;
}

std::shared_ptr<BoardValueSource> MakeValueSource(const LinkJob& job, const Options& options,
                                                  const std::string& name) {
  if (!job.value) return nullptr;
  const ValueSetting& v = *job.value;
  records::ValueSource source;
  source.name = name;
  source.format = *records::ValueFormat::Parse(v.format);
  source.list = !v.list.empty();
  source.values = v.values;
  source.from = v.from.value_or(0);
  source.step = v.step;
  const std::string* records = options.Value("--records");
  return records::MakeValueSource(v.address, records != nullptr ? *records : std::string(),
                                  std::move(source));
}

}  // namespace quill::cli
