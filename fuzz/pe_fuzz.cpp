// The Windows-module reader on arbitrary bytes: it must never read outside the input, never loop,
// and what it returns must be bytes of the input.
//
// Checked: a failed read names its reason and returns nothing; a successful one returns resources
// whose bytes each occur in the input, at most as many as the input could hold entries for.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/require.h"
#include "kernels/pe_resources.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so AddressSanitizer sees any read past the end.
  const std::vector<uint8_t> input(data, data + size);
  std::vector<quill::PeResource> resources;
  std::string error;
  const bool ok = quill::ReadPeResources(input, "FPCODE", resources, error);
  if (!ok) {
    REQUIRE(!error.empty());
    REQUIRE(resources.empty());
    return 0;
  }
  REQUIRE(resources.size() <= size / 8 + 1);
  for (const quill::PeResource& resource : resources) {
    REQUIRE(resource.bytes.size() <= size);
    if (!resource.bytes.empty()) {
      REQUIRE(std::search(input.begin(), input.end(), resource.bytes.begin(), resource.bytes.end()) !=
              input.end());
    }
  }
  return 0;
}
