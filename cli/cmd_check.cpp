// quill-cli check: the program-file check of the file pages, on the command line, for one file
// or several checked together.
#include <iostream>

#include "cli/cli.h"
#include "cli/json_output.h"
#include "kernels/sha256.h"
#include "resources/strings.h"
#include "progfile/program_image.h"

namespace quill::cli {

int RunCheck(const std::vector<std::string>& args) {
  const Options options = ParseOptions(
      "check", args,
      {{"--device", true}, {"--mode", true}, {"--offset", true}, {"--lowest", true},
       {"--highest", true}, kBinaryOption, {"--json", false}});
  Job state;
  ApplyDeviceOptions(options, state);
  ApplyAddressOptions(options, state);
  const std::vector<ProgramFile> files = ParseFileOperands(options);

  CheckSummary summary;
  const int status = CheckFiles(state, files, summary);
  const bool passed = status == kExitSuccess;
  if (options.Has("--json")) {
    nlohmann::json list = nlohmann::json::array();
    for (const ProgramFile& file : files) {
      const std::string sha = Sha256OfFile(file.path);
      list.push_back({{"path", file.path},
                      {"sha256", sha.empty() ? nlohmann::json(nullptr) : nlohmann::json(sha)}});
    }
    std::cout << JsonLine({{"file", list.front()["path"]},
                           {"file_sha256", list.front()["sha256"]},
                           {"files", list},
                           {"device", state.m_strMCUType},
                           {"mode", state.m_pDevice->modeCount > 1
                                        ? nlohmann::json(LoadString(state.Mode().nameId))
                                        : nlohmann::json(nullptr)},
                           {"offset", state.m_dwOffset},
                           {"lowest", state.m_dwLowest},
                           {"highest", state.m_dwHighest},
                           {"passed", passed},
                           {"blocks", passed ? state.m_astrSelectedBlocks : std::vector<std::string>()},
                           {"bytes_inside", passed ? summary.insideBytes : 0},
                           {"bytes_outside", passed ? summary.outsideBytes : 0},
                           {"exit_status", status}});
    return status;
  }
  if (!passed) return status;

  std::cout << "blocks:";
  for (const std::string& name : state.m_astrSelectedBlocks) std::cout << ' ' << name;
  std::cout << "\ninside: " << HexValue(summary.insideBytes)
            << "\noutside: " << HexValue(summary.outsideBytes) << '\n';
  return kExitSuccess;
}

}  // namespace quill::cli
