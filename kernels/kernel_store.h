// The kernel store: where the flash kernel for a clock range comes from. The real kernels are
// programs for the target that the user brings; they are kept one file per image, named
// <id>.bin, in the user's store and in a system-wide store beside the installed program. The
// program also carries stand-ins for the simulated board, which must never reach a real chip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "device/catalogue.h"

namespace quill {

// The largest image the target's download buffer takes.
constexpr std::size_t kKernelCapacity = 3088;

// The folders searched, in this order; an empty path is skipped.
struct KernelStoreDirs {
  std::filesystem::path user;
  std::filesystem::path system;

  // The user's store ($XDG_DATA_HOME/quill/fpcode, default ~/.local/share/quill/fpcode; on
  // Windows %LOCALAPPDATA%\Quill\fpcode) and <prefix>/share/quill/fpcode of the running program.
  static KernelStoreDirs Default();
};

enum class KernelOrigin {
  Installed,  // a file of a store
  StandIn,    // the built-in stand-in: for simulated boards only
  Missing,    // neither
  Unusable,   // a store holds a file for the id that cannot be used (unreadable, empty, too big)
};

struct KernelImage {
  uint32_t id = 0;
  KernelOrigin origin = KernelOrigin::Missing;
  std::filesystem::path path;  // the store's file (Installed, Unusable)
  std::vector<uint8_t> bytes;  // the image (Installed, StandIn)
  std::string problem;         // why an Unusable file cannot be used
};

// The image for a kernel id: the user's store first, then the system's, then the stand-in. The
// first store that has a file for the id decides, so a damaged file is reported, never passed
// over for another image.
KernelImage FindKernel(uint32_t id, const KernelStoreDirs& dirs = KernelStoreDirs::Default());

// The file a store keeps the image of id in.
std::filesystem::path KernelFilePath(const std::filesystem::path& store, uint32_t id);

// Whether bytes equal one of the built-in stand-ins (of any id).
bool IsStandInImage(std::span<const uint8_t> bytes);

// Where the catalogue uses a kernel id: the device, mode and clock range.
struct KernelUse {
  const DeviceType* device = nullptr;
  int mode = 0;
  int clock = 0;
  const ClockRange* range = nullptr;
};
// False when no clock range of the catalogue names the id.
bool FindKernelUse(uint32_t id, KernelUse& use);
// Every kernel id of the catalogue, in catalogue order, each once.
std::vector<uint32_t> CatalogueKernelIds();
// "TX-C31, Mode 3, clock range >= 8 MHz, < 10 MHz" for the id; the id alone when unknown.
std::string DescribeKernelUse(uint32_t id);

// The size the catalogue's kernels have for the id's device and mode; 0 when unknown.
std::size_t UsualKernelSize(uint32_t id);

}  // namespace quill
