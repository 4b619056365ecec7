// quill-cli check: the program-file check of the file pages, on the command line, for one file
// or several checked together.
#include <iostream>

#include "cli/cli.h"
#include "progfile/program_image.h"

namespace quill::cli {

int RunCheck(const std::vector<std::string>& args) {
  const Options options = ParseOptions(
      "check", args,
      {{"--device", true}, {"--mode", true}, {"--offset", true}, {"--lowest", true},
       {"--highest", true}, kBinaryOption});
  WizardState state;
  ApplyDeviceOptions(options, state);
  ApplyAddressOptions(options, state);
  const std::vector<ProgramFile> files = ParseFileOperands(options);

  CheckSummary summary;
  if (const int status = CheckFiles(state, files, summary)) return status;

  std::cout << "blocks:";
  for (const std::string& name : state.m_astrSelectedBlocks) std::cout << ' ' << name;
  std::cout << "\ninside: " << HexValue(summary.insideBytes)
            << "\noutside: " << HexValue(summary.outsideBytes) << '\n';
  return kExitSuccess;
}

}  // namespace quill::cli
