// quill-cli check: the program-file check of the file pages, on the command line, for one file
// or several checked together.
#include <iostream>

#include "cli/cli.h"
#include "cli/json_output.h"
#include "kernels/sha256.h"
#include "resources/strings.h"
#include "progfile/program_image.h"

namespace quill::cli {

std::vector<OptionSpec> CheckOptionSpecs() {
  return {{"--device", true}, {"--mode", true}, {"--offset", true}, {"--lowest", true},
          {"--highest", true}, kBinaryOption, {"--json", false}};
}

FileCheck RunFileCheck(const Options& options) {
  FileCheck check;
  ApplyDeviceOptions(options, check.state);
  ApplyAddressOptions(options, check.state);
  check.files = ParseFileOperands(options);
  check.status = CheckFiles(check.state, check.files, check.summary);
  return check;
}

nlohmann::json CheckJson(const FileCheck& check) {
  const Job& state = check.state;
  const bool passed = check.status == kExitSuccess;
  nlohmann::json list = nlohmann::json::array();
  for (const ProgramFile& file : check.files) {
    const std::string sha = Sha256OfFile(file.path);
    list.push_back({{"path", file.path},
                    {"sha256", sha.empty() ? nlohmann::json(nullptr) : nlohmann::json(sha)}});
  }
  return {{"file", list.front()["path"]},
          {"file_sha256", list.front()["sha256"]},
          {"files", list},
          {"device", state.m_strMCUType},
          {"mode", state.m_pDevice->modeCount > 1 ? nlohmann::json(LoadString(state.Mode().nameId))
                                                  : nlohmann::json(nullptr)},
          {"offset", state.m_dwOffset},
          {"lowest", state.m_dwLowest},
          {"highest", state.m_dwHighest},
          {"passed", passed},
          {"blocks", passed ? state.m_astrSelectedBlocks : std::vector<std::string>()},
          {"bytes_inside", passed ? check.summary.insideBytes : 0},
          {"bytes_outside", passed ? check.summary.outsideBytes : 0},
          {"exit_status", check.status}};
}

int RunCheck(const std::vector<std::string>& args) {
  const Options options = ParseOptions("check", args, CheckOptionSpecs());
  const FileCheck check = RunFileCheck(options);
  if (options.Has("--json")) {
    std::cout << JsonLine(CheckJson(check));
    return check.status;
  }
  if (check.status != kExitSuccess) return check.status;

  std::cout << "blocks:";
  for (const std::string& name : check.state.m_astrSelectedBlocks) std::cout << ' ' << name;
  std::cout << "\ninside: " << HexValue(check.summary.insideBytes)
            << "\noutside: " << HexValue(check.summary.outsideBytes) << '\n';
  return kExitSuccess;
}

}  // namespace quill::cli
