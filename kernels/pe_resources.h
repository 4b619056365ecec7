// Reads the resources of one type out of a Windows program or DLL (a PE module), without loading
// or running it: the DOS header leads to the PE headers, the resource data directory to the
// resource tree (type, name, language), each leaf to its bytes. Only integer-named resources are
// taken. Every offset and size is checked against the file, so a damaged or hostile module is an
// error, never a read outside the buffer or an endless walk.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quill {

struct PeResource {
  uint32_t id = 0;
  std::vector<uint8_t> bytes;
};

// True when data starts like a PE module ("MZ"); the rest is checked by ReadPeResources.
bool LooksLikePeModule(std::span<const uint8_t> data);

// Every resource of the given type (an upper-case type name such as "FPCODE") in the module,
// in the order of the resource tree, the first language of each id. False with error set when the
// module is damaged anywhere on the way to those resources; then resources is left empty. A module
// without that type is no error (resources stays empty).
bool ReadPeResources(std::span<const uint8_t> data, const std::string& type,
                     std::vector<PeResource>& resources, std::string& error);

}  // namespace quill
