// quill-cli check: the program-file check of the file pages, on the command line.
#include <iostream>

#include "cli/cli.h"
#include "progfile/program_image.h"

namespace quill::cli {

int RunCheck(const std::vector<std::string>& args) {
  const Options options = ParseOptions(
      "check", args,
      {{"--device", true}, {"--mode", true}, {"--offset", true}, {"--lowest", true},
       {"--highest", true}});
  WizardState state;
  ApplyDeviceOptions(options, state);
  ApplyAddressOptions(options, state);
  const std::string& path = SingleFileOperand(options);
  state.m_strFile = path;

  ConsoleReporter reporter;
  CheckSummary summary;
  if (!CheckProgramFile(state, path, reporter, &summary)) return ExitStatusForCheck(summary);

  std::cout << "blocks:";
  for (const std::string& name : state.m_astrSelectedBlocks) std::cout << ' ' << name;
  std::cout << "\ninside: " << HexValue(summary.insideBytes)
            << "\noutside: " << HexValue(summary.outsideBytes) << '\n';
  return kExitSuccess;
}

}  // namespace quill::cli
