#include "kernels/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace quill {
namespace {

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Known answers from FIPS 180-2, and a file read in pieces equal to the digest of its bytes.
TEST(Sha256, KnownAnswersAndPiecewiseFile) {
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(Bytes("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 split;
  split.Update(Bytes("ab"));
  split.Update(Bytes("c"));
  EXPECT_EQ(split.HexDigest(), Sha256Hex(Bytes("abc")));

  std::vector<uint8_t> data(200000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 300);
  const std::string path = ::testing::TempDir() + "sha256_test.bin";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                              static_cast<std::streamsize>(data.size()));
  EXPECT_EQ(Sha256OfFile(path), Sha256Hex(data));
  std::remove(path.c_str());
  EXPECT_EQ(Sha256OfFile(path), "");
}

}  // namespace
}  // namespace quill
