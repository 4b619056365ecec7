// Helpers of the kernel tests: a temporary folder, a kernel store of the test's own (the
// process's XDG_DATA_HOME points into it), "real" kernel images, and Windows modules built with
// the mingw-w64 resource compiler and linker.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quill::test {

namespace fs = std::filesystem;

// A folder removed with everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// Points XDG_DATA_HOME at a scratch folder for as long as it lives, so every lookup of this
// process (host and in-process board alike) sees only the kernels the test installs.
class TestKernelStore {
 public:
  TestKernelStore();
  ~TestKernelStore();
  // The user's store the program will use: <scratch>/quill/fpcode.
  fs::path Store() const { return dir_.Path() / "quill" / "fpcode"; }
  const fs::path& Home() const { return dir_.Path(); }
  // Installs bytes as <id>.bin directly, as a previous import would have.
  void Install(uint32_t id, const std::vector<uint8_t>& bytes) const;

 private:
  ScratchDir dir_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// Pseudo-random bytes of the catalogue's size for the id, without the stand-ins' header: what a
// real kernel looks like to the program.
std::vector<uint8_t> RealKernel(uint32_t id, uint32_t seed = 1);

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const fs::path& path);

// Builds a DLL in folder that carries images as resources of type "FPCODE" (and, when extra is
// set, one RCDATA resource that the import must pass over). Fails the test when the tools fail.
fs::path BuildModule(const fs::path& folder, const std::map<uint32_t, std::vector<uint8_t>>& images,
                     bool extra = false);

}  // namespace quill::test
