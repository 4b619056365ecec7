#include "tests/kernels/kernel_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "kernels/kernel_store.h"

namespace quill::test {

ScratchDir::ScratchDir() {
  std::string pattern = ::testing::TempDir() + "quill_kernels_XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // A test may have taken the write bit away from a folder.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it); it.increment(ec))
    if (it->is_directory()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

TestKernelStore::TestKernelStore() {
  if (const char* old = std::getenv("XDG_DATA_HOME")) {
    previous_ = old;
    hadPrevious_ = true;
  }
  ::setenv("XDG_DATA_HOME", dir_.Path().c_str(), 1);
}

TestKernelStore::~TestKernelStore() {
  if (hadPrevious_) ::setenv("XDG_DATA_HOME", previous_.c_str(), 1);
  else ::unsetenv("XDG_DATA_HOME");
}

void TestKernelStore::Install(uint32_t id, const std::vector<uint8_t>& bytes) const {
  fs::create_directories(Store());
  WriteFile(KernelFilePath(Store(), id), bytes);
}

std::vector<uint8_t> RealKernel(uint32_t id, uint32_t seed) {
  std::mt19937 random(id * 7919u + seed);
  std::vector<uint8_t> bytes(UsualKernelSize(id));
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path BuildModule(const fs::path& folder, const std::map<uint32_t, std::vector<uint8_t>>& images,
                     bool extra) {
  std::ofstream rc(folder / "kernels.rc");
  for (const auto& [id, bytes] : images) {
    const fs::path image = folder / ("res_" + std::to_string(id) + ".bin");
    WriteFile(image, bytes);
    rc << id << " FPCODE \"" << image.string() << "\"\n";
  }
  if (extra) {
    WriteFile(folder / "other.bin", {1, 2, 3});
    rc << "7 RCDATA \"" << (folder / "other.bin").string() << "\"\n";
  }
  rc.close();
  const fs::path object = folder / "kernels.o";
  const fs::path module = folder / "kernels.dll";
  // windres would preprocess with the mingw C compiler; the script names only files, so the
  // host's own preprocessor (cpp, with the compiler every build has) does as well.
  const std::string compile = "x86_64-w64-mingw32-windres --preprocessor=cpp '" +
                              (folder / "kernels.rc").string() + "' -O coff -o '" +
                              object.string() + "'";
  const std::string link = "x86_64-w64-mingw32-ld --dll -e 0 -o '" + module.string() + "' '" +
                           object.string() + "'";
  EXPECT_EQ(std::system(compile.c_str()), 0) << compile;
  EXPECT_EQ(std::system(link.c_str()), 0) << link;
  return module;
}

}  // namespace quill::test
