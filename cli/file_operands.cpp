// The program-file operands of check, boot and program: [--binary ADDRESS] FILE ...
#include "cli/cli.h"
#include "progfile/address_field.h"

namespace quill::cli {

std::vector<ProgramFile> ParseFileOperands(const Options& options) {
  const std::vector<std::string>& words = options.positional;
  std::vector<ProgramFile> files;
  for (std::size_t i = 0; i < words.size(); ++i) {
    ProgramFile file;
    if (words[i] == kBinaryOption.name) {
      if (i + 2 >= words.size()) {
        throw UsageError("--binary needs an ADDRESS and then the FILE placed there");
      }
      const std::string& text = words[++i];
      const AddressFieldResult address = ParseAddressField(text, true);
      if (!address.ok) throw UsageError("--binary '" + text + "': " + address.Message());
      file.format = FileFormat::Binary;
      file.base = address.value;
      ++i;
    }
    file.path = words[i];
    files.push_back(std::move(file));
  }
  if (files.empty()) {
    throw UsageError("missing FILE: the program file to use (S-record or Intel HEX, or raw "
                     "binary after --binary ADDRESS)");
  }
  return files;
}

int CheckFiles(Job& state, const std::vector<ProgramFile>& files, CheckSummary& summary) {
  state.m_strFile = files.front().path;
  ConsoleReporter reporter;
  if (!CheckProgramFiles(state, files, reporter, &summary)) return ExitStatusForCheck(summary);
  return kExitSuccess;
}

}  // namespace quill::cli
