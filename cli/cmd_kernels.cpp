// quill-cli kernels: which flash kernel each clock range would get, and importing the real ones
// into the user's kernel store.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "cli/cli.h"
#include "cli/json_output.h"
#include "kernels/kernel_import.h"
#include "kernels/kernel_store.h"
#include "kernels/sha256.h"
#include "resources/strings.h"

namespace quill::cli {
namespace {

std::string ModeName(const KernelUse& use) {
  const uint32_t nameId = use.device->modes[use.mode].nameId;
  return nameId != 0 ? LoadString(nameId) : std::string("-");
}

std::string SourceText(const KernelImage& image) {
  switch (image.origin) {
    case KernelOrigin::Installed: return image.path.string();
    case KernelOrigin::StandIn: return "built-in stand-in (simulated boards only)";
    case KernelOrigin::Unusable: return image.path.string() + " (unusable: " + image.problem + ")";
    case KernelOrigin::Missing: break;
  }
  return "missing";
}

const char* OriginName(KernelOrigin origin) {
  switch (origin) {
    case KernelOrigin::Installed: return "installed";
    case KernelOrigin::StandIn: return "stand-in";
    case KernelOrigin::Unusable: return "unusable";
    case KernelOrigin::Missing: break;
  }
  return "missing";
}

int ListKernels(bool json) {
  nlohmann::json document = nlohmann::json::array();
  for (uint32_t id : CatalogueKernelIds()) {
    KernelUse use;
    FindKernelUse(id, use);
    const KernelImage image = FindKernel(id);
    const bool hasBytes = !image.bytes.empty();
    if (json) {
      auto textOrNull = [](const std::string& t) { return t.empty() ? nlohmann::json(nullptr) : nlohmann::json(t); };
      document.push_back({{"id", id},
                          {"device", use.device->GetName()},
                          {"mode", use.device->modes[use.mode].nameId != 0 ? nlohmann::json(ModeName(use)) : nlohmann::json(nullptr)},
                          {"clock_range", LoadString(use.range->textId)},
                          {"origin", OriginName(image.origin)},
                          {"path", textOrNull(image.path.string())},
                          {"problem", textOrNull(image.problem)},
                          {"size", hasBytes ? nlohmann::json(image.bytes.size()) : nlohmann::json(nullptr)},
                          {"sha256", hasBytes ? nlohmann::json(Sha256Hex(image.bytes)) : nlohmann::json(nullptr)}});
      continue;
    }
    char line[160];
    std::snprintf(line, sizeof line, "%4u  %-7s %-7s %-20s %5s  ", static_cast<unsigned>(id),
                  use.device->GetName().c_str(), ModeName(use).c_str(),
                  LoadString(use.range->textId).c_str(),
                  hasBytes ? std::to_string(image.bytes.size()).c_str() : "-");
    std::cout << line << (hasBytes ? Sha256Hex(image.bytes).substr(0, 12) : std::string(12, '-'))
              << "  " << SourceText(image) << '\n';
  }
  if (json) std::cout << JsonLine(document);
  return kExitSuccess;
}

uint32_t ParseKernelId(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  KernelUse use;
  if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-' || value > 0xFFFFFFFFul ||
      !FindKernelUse(static_cast<uint32_t>(value), use)) {
    throw UsageError("--id '" + text + "' is not a kernel id of the catalogue ('quill-cli kernels' "
                     "lists them)");
  }
  return static_cast<uint32_t>(value);
}

int Import(const std::vector<std::string>& args) {
  const Options options = ParseOptions("kernels import", args, {{"--id", true}, {"--replace", false}});
  KernelImportRequest request;
  request.paths = options.positional;
  request.replace = options.Has("--replace");
  if (request.paths.empty()) {
    throw UsageError("kernels import needs a PATH: a kernel image (186.bin), a folder of them, or "
                     "a Windows program or DLL that carries them");
  }
  if (const std::string* id = options.Value("--id")) {
    std::error_code ec;
    if (request.paths.size() != 1 || std::filesystem::is_directory(request.paths.front(), ec))
      throw UsageError("--id names the kernel of one image file; give a single file with it");
    request.id = ParseKernelId(*id);
  }
  request.store = KernelStoreDirs::Default().user;
  if (request.store.empty()) {
    std::cerr << "quill-cli: no kernel store: neither XDG_DATA_HOME nor HOME is set\n";
    return kExitCannotWrite;
  }

  const KernelImportResult result = ImportKernels(request);
  for (const std::string& warning : result.warnings) std::cerr << "quill-cli: warning: " << warning << '\n';
  if (result.status != KernelImportResult::Imported) {
    for (const std::string& error : result.errors) std::cerr << "quill-cli: " << error << '\n';
    if (!result.conflicts.empty()) std::cerr << "quill-cli: give --replace to replace installed kernels\n";
    std::cerr << "quill-cli: nothing was imported; the kernel store is unchanged\n";
    switch (result.status) {
      case KernelImportResult::Unreadable: return kExitCannotOpen;
      case KernelImportResult::StoreFailed: return kExitCannotWrite;
      default: return kExitInvalidFile;
    }
  }
  for (const KernelImportResult::Image& image : result.images) {
    std::cout << "kernel " << image.id << " (" << DescribeKernelUse(image.id) << "): "
              << image.action << ", " << image.size << " bytes, sha256 "
              << image.sha256.substr(0, 12) << ", from " << image.source << '\n';
  }
  std::cout << "kernel store: " << request.store.string() << '\n';
  return kExitSuccess;
}

}  // namespace

int RunKernels(const std::vector<std::string>& args) {
  if (!args.empty() && args.front() == "import") return Import({args.begin() + 1, args.end()});
  const Options options = ParseOptions("kernels", args, {{"--json", false}});
  if (!options.positional.empty()) {
    throw UsageError("unexpected argument '" + options.positional.front() +
                     "'; kernels takes no argument, or: kernels import PATH...");
  }
  return ListKernels(options.Has("--json"));
}

}  // namespace quill::cli
