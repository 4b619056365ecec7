#include "kernels/kernel_store.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "resources/fpcode.h"
#include "resources/strings.h"

namespace quill {
namespace {

namespace fs = std::filesystem;

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

fs::path UserStore() {
#ifdef _WIN32
  if (const char* local = NonEmptyEnv("LOCALAPPDATA")) return fs::path(local) / "Quill" / "fpcode";
  return {};
#else
  // XDG_DATA_HOME counts only as an absolute path; a relative one is ignored, as freedesktop tools do.
  if (const char* data = NonEmptyEnv("XDG_DATA_HOME"); data != nullptr && data[0] == '/')
    return fs::path(data) / "quill" / "fpcode";
  if (const char* home = NonEmptyEnv("HOME")) return fs::path(home) / ".local/share/quill/fpcode";
  return {};
#endif
}

fs::path SystemStore() {
#ifdef _WIN32
  return {};  // a Windows installation keeps its kernels in the user's store
#else
  std::error_code ec;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec);
  if (ec || !program.has_parent_path()) return {};
  // <prefix>/bin/quill-cli -> <prefix>/share/quill/fpcode
  return program.parent_path().parent_path() / "share" / "quill" / "fpcode";
#endif
}

// Reads at most one byte more than a kernel may have, so a huge file costs nothing.
bool ReadImageFile(const fs::path& path, std::vector<uint8_t>& bytes, std::string& problem) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    problem = "it cannot be opened";
    return false;
  }
  bytes.resize(kKernelCapacity + 1);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (file.bad()) {
    problem = "it cannot be read";
    return false;
  }
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  if (bytes.empty()) {
    problem = "it is empty";
    return false;
  }
  if (bytes.size() > kKernelCapacity) {
    problem = "it is larger than the " + std::to_string(kKernelCapacity) +
              " bytes the download buffer takes";
    return false;
  }
  return true;
}

struct UsualSize {
  const char* device;
  int mode;
  std::size_t size;
};
// The sizes of the kernels that came with each device and mode.
constexpr UsualSize kUsualSizes[] = {
    {"TX-A10", 0, 1725}, {"TX-C30", 0, 896}, {"TX-C31", 0, 1040}, {"TX-C31", 1, 1046}};

}  // namespace

KernelStoreDirs KernelStoreDirs::Default() { return {UserStore(), SystemStore()}; }

fs::path KernelFilePath(const fs::path& store, uint32_t id) {
  return store / (std::to_string(id) + ".bin");
}

KernelImage FindKernel(uint32_t id, const KernelStoreDirs& dirs) {
  KernelImage image;
  image.id = id;
  for (const fs::path* store : {&dirs.user, &dirs.system}) {
    if (store->empty()) continue;
    const fs::path path = KernelFilePath(*store, id);
    std::error_code ec;
    if (!fs::exists(path, ec)) continue;
    image.path = path;
    if (ReadImageFile(path, image.bytes, image.problem)) {
      image.origin = KernelOrigin::Installed;
    } else {
      image.origin = KernelOrigin::Unusable;
      image.bytes.clear();
    }
    return image;
  }
  const auto standIn = FindResource("FPCODE", id);
  if (!standIn.empty()) {
    image.origin = KernelOrigin::StandIn;
    image.bytes.assign(standIn.begin(), standIn.end());
  }
  return image;
}

bool IsStandInImage(std::span<const uint8_t> bytes) {
  for (int i = 0; i < kFpcodeImageCount; ++i) {
    const FpcodeImage& standIn = kFpcodeImages[i];
    if (std::equal(bytes.begin(), bytes.end(), standIn.data, standIn.data + standIn.size))
      return true;
  }
  return false;
}

bool FindKernelUse(uint32_t id, KernelUse& use) {
  for (int d = 0; d < GetDeviceCount(); ++d) {
    const DeviceType* device = GetDevice(d);
    for (int m = 0; m < device->modeCount; ++m) {
      for (int c = 0; c < device->GetClockRangeCount(m); ++c) {
        const ClockRange& range = device->GetClockRanges(m)[c];
        if (range.kernelId == id) {
          use = {device, m, c, &range};
          return true;
        }
      }
    }
  }
  return false;
}

std::vector<uint32_t> CatalogueKernelIds() {
  std::vector<uint32_t> ids;
  for (int d = 0; d < GetDeviceCount(); ++d) {
    const DeviceType* device = GetDevice(d);
    for (int m = 0; m < device->modeCount; ++m) {
      for (int c = 0; c < device->GetClockRangeCount(m); ++c) {
        const uint32_t id = device->GetClockRanges(m)[c].kernelId;
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
      }
    }
  }
  return ids;
}

std::string DescribeKernelUse(uint32_t id) {
  KernelUse use;
  if (!FindKernelUse(id, use)) return "kernel " + std::to_string(id);
  std::string text = use.device->GetName();
  if (use.device->modes[use.mode].nameId != 0) text += ", " + LoadString(use.device->modes[use.mode].nameId);
  return text + ", clock range " + LoadString(use.range->textId);
}

std::size_t UsualKernelSize(uint32_t id) {
  KernelUse use;
  if (!FindKernelUse(id, use)) return 0;
  const std::string name = use.device->GetName();
  for (const UsualSize& usual : kUsualSizes) {
    if (name == usual.device && use.mode == usual.mode) return usual.size;
  }
  return 0;
}

}  // namespace quill
