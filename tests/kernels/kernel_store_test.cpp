// The kernel store and the import: where a boot's kernel comes from, and what may enter the
// store from files, folders and Windows modules.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "kernels/kernel_import.h"
#include "kernels/kernel_store.h"
#include "kernels/pe_resources.h"
#include "resources/fpcode.h"
#include "tests/kernels/kernel_support.h"

namespace quill::test {
namespace {

std::vector<uint8_t> StandIn(uint32_t id) {
  const auto image = FindResource("FPCODE", id);
  return {image.begin(), image.end()};
}

TEST(KernelStore, UserStoreThenSystemStoreThenStandInAndADamagedFileIsReportedNotPassedOver) {
  ScratchDir user, system;
  const KernelStoreDirs dirs{user.Path(), system.Path()};
  WriteFile(KernelFilePath(user.Path(), 186), RealKernel(186, 1));
  WriteFile(KernelFilePath(system.Path(), 186), RealKernel(186, 2));
  WriteFile(KernelFilePath(system.Path(), 148), RealKernel(148, 3));
  WriteFile(KernelFilePath(user.Path(), 150), {});
  WriteFile(KernelFilePath(system.Path(), 150), RealKernel(150, 4));
  WriteFile(KernelFilePath(user.Path(), 151), std::vector<uint8_t>(kKernelCapacity + 1, 0x5A));
  // A temporary file left by an interrupted import is never taken for a kernel.
  WriteFile(user.Path() / ".152.bin.4242.tmp", RealKernel(152));

  struct Row {
    uint32_t id;
    KernelOrigin origin;
    std::vector<uint8_t> bytes;
    fs::path path;
  } rows[] = {
      {186, KernelOrigin::Installed, RealKernel(186, 1), KernelFilePath(user.Path(), 186)},
      {148, KernelOrigin::Installed, RealKernel(148, 3), KernelFilePath(system.Path(), 148)},
      {149, KernelOrigin::StandIn, StandIn(149), {}},
      {150, KernelOrigin::Unusable, {}, KernelFilePath(user.Path(), 150)},
      {151, KernelOrigin::Unusable, {}, KernelFilePath(user.Path(), 151)},
      {152, KernelOrigin::StandIn, StandIn(152), {}},
      {4711, KernelOrigin::Missing, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    const KernelImage image = FindKernel(row.id, dirs);
    EXPECT_EQ(image.origin, row.origin);
    EXPECT_EQ(image.bytes, row.bytes);
    EXPECT_EQ(image.path, row.path);
    EXPECT_EQ(image.problem.empty(), row.origin != KernelOrigin::Unusable);
  }
}

TEST(KernelStore, TheUserStoreFollowsXdgDataHomeAndHome) {
  const char* oldXdg = std::getenv("XDG_DATA_HOME");
  const std::string savedXdg = oldXdg ? oldXdg : "";
  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", "/home/tester", 1);
  ::setenv("XDG_DATA_HOME", "/data/x", 1);
  EXPECT_EQ(KernelStoreDirs::Default().user, fs::path("/data/x/quill/fpcode"));
  ::setenv("XDG_DATA_HOME", "relative/x", 1);  // not absolute: ignored
  EXPECT_EQ(KernelStoreDirs::Default().user, fs::path("/home/tester/.local/share/quill/fpcode"));
  ::setenv("XDG_DATA_HOME", "", 1);
  EXPECT_EQ(KernelStoreDirs::Default().user, fs::path("/home/tester/.local/share/quill/fpcode"));
  // Beside the program: <prefix>/bin/<program> -> <prefix>/share/quill/fpcode.
  EXPECT_EQ(KernelStoreDirs::Default().system.filename(), "fpcode");
  EXPECT_EQ(KernelStoreDirs::Default().system.parent_path().parent_path().filename(), "share");
  ::setenv("HOME", savedHome.c_str(), 1);
  if (oldXdg) ::setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
  else ::unsetenv("XDG_DATA_HOME");
}

TEST(KernelStore, TheCatalogueNames36KernelsWithTheirUsualSizes) {
  const std::vector<uint32_t> ids = CatalogueKernelIds();
  ASSERT_EQ(ids.size(), 36u);
  for (uint32_t id : ids) {
    SCOPED_TRACE(id);
    EXPECT_EQ(UsualKernelSize(id), StandIn(id).size());
    EXPECT_TRUE(IsStandInImage(StandIn(id)));
  }
  EXPECT_EQ(DescribeKernelUse(216), "TX-C31, Mode 3, clock range >= 16 MHz");
  EXPECT_FALSE(IsStandInImage(RealKernel(186)));
  std::vector<uint8_t> almost = StandIn(186);
  almost.back() ^= 1;
  EXPECT_FALSE(IsStandInImage(almost));
}

class Import : public ::testing::Test {
 protected:
  KernelImportResult Run(std::vector<std::string> paths, bool replace = false,
                         std::optional<uint32_t> id = std::nullopt) {
    return ImportKernels({std::move(paths), id, replace, store.Path() / "quill" / "fpcode"});
  }
  fs::path Store() const { return store.Path() / "quill" / "fpcode"; }
  // Every file the store folder holds, temporary ones included.
  std::vector<std::string> StoreFiles() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Store(), ec)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path Source(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path path = sources.Path() / name;
    fs::create_directories(path.parent_path());
    WriteFile(path, bytes);
    return path;
  }
  ScratchDir store, sources;
};

TEST_F(Import, EachKindOfSourceLandsInTheStoreByteForByte) {
  const fs::path module = BuildModule(
      sources.Path(), {{199, RealKernel(199)}, {208, RealKernel(208)}, {216, RealKernel(216)}},
      /*extra=*/true);
  Source("kit/190.bin", RealKernel(190));
  Source("kit/fpcode_191.bin", RealKernel(191));
  Source("kit/readme.txt", {'h', 'i'});  // not a kernel image: passed over
  const KernelImportResult result =
      Run({Source("186.bin", RealKernel(186)), Source("FPCODE_148.BIN", RealKernel(148)),
           (sources.Path() / "kit").string(), module.string()});
  ASSERT_EQ(result.status, KernelImportResult::Imported) << result.errors.front();
  EXPECT_TRUE(result.warnings.empty());
  EXPECT_EQ(StoreFiles(), (std::vector<std::string>{"148.bin", "186.bin", "190.bin", "191.bin",
                                                    "199.bin", "208.bin", "216.bin"}));
  for (uint32_t id : {148u, 186u, 190u, 191u, 199u, 208u, 216u}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(ReadFile(KernelFilePath(Store(), id)), RealKernel(id));
    EXPECT_EQ(FindKernel(id, {Store(), {}}).origin, KernelOrigin::Installed);
  }
  ASSERT_EQ(result.images.size(), 7u);
  EXPECT_EQ(result.images.front().action, "installed");

  // A single file whose name carries no id, with --id; and one of an unusual size.
  std::vector<uint8_t> own = RealKernel(192);
  own.resize(700);
  const KernelImportResult named = Run({Source("kernel.img", own).string()}, false, 192u);
  ASSERT_EQ(named.status, KernelImportResult::Imported);
  ASSERT_EQ(named.warnings.size(), 1u);
  EXPECT_NE(named.warnings.front().find("700 bytes"), std::string::npos);
  EXPECT_EQ(ReadFile(KernelFilePath(Store(), 192)), own);
}

TEST_F(Import, ARefusedImageKeepsTheWholeImportOutOfTheStore) {
  std::vector<uint8_t> tooBig(kKernelCapacity + 1, 0x11);
  std::vector<uint8_t> justFits = RealKernel(186);
  justFits.resize(kKernelCapacity);
  struct Row {
    const char* what;
    std::vector<std::string> paths;
    KernelImportResult::Status status;
    const char* says;
  } rows[] = {
      {"id the catalogue lacks", {Source("fpcode_999.bin", RealKernel(186))}, KernelImportResult::Refused,
       "not one the device catalogue uses"},
      {"empty image", {Source("a/186.bin", {})}, KernelImportResult::Refused, "empty"},
      {"over the download buffer", {Source("b/186.bin", tooBig)}, KernelImportResult::Refused,
       "at most 3088"},
      {"a built-in stand-in", {Source("c/186.bin", StandIn(186))}, KernelImportResult::Refused,
       "stand-ins"},
      {"a stand-in under another id", {Source("d/148.bin", StandIn(186))}, KernelImportResult::Refused,
       "stand-ins"},
      {"no id in the name", {Source("kernel.img", RealKernel(186))}, KernelImportResult::Refused,
       "cannot be told"},
      {"folder without kernels", {(Source("e/notes.txt", {1}).parent_path()).string()},
       KernelImportResult::Refused, "holds no kernel images"},
      {"one good and one bad in a folder",
       {Source("f/186.bin", RealKernel(186)).parent_path().string(), Source("f/148.bin", {}).string()},
       KernelImportResult::Refused, "empty"},
      {"the same id twice with other bytes",
       {Source("g/186.bin", RealKernel(186, 1)), Source("h/fpcode_186.bin", RealKernel(186, 2))},
       KernelImportResult::Refused, "different bytes"},
      {"a path that does not exist", {(sources.Path() / "nothing.bin").string()},
       KernelImportResult::Unreadable, "nothing.bin"},
      {"good image then a missing path",
       {Source("i/186.bin", justFits), (sources.Path() / "gone").string()},
       KernelImportResult::Unreadable, "gone"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const KernelImportResult result = Run(row.paths);
    EXPECT_EQ(result.status, row.status);
    ASSERT_FALSE(result.errors.empty());
    std::string all;
    for (const std::string& e : result.errors) all += e + "\n";
    EXPECT_NE(all.find(row.says), std::string::npos) << all;
    EXPECT_TRUE(result.images.empty());
    EXPECT_TRUE(StoreFiles().empty());
  }
}

TEST_F(Import, ADifferentInstalledImageIsReplacedOnlyWhenAskedAndAnEqualOneIsLeftAlone) {
  ASSERT_EQ(Run({Source("1/186.bin", RealKernel(186, 1))}).status, KernelImportResult::Imported);
  const auto firstWrite = fs::last_write_time(KernelFilePath(Store(), 186));

  const KernelImportResult same = Run({Source("2/fpcode_186.bin", RealKernel(186, 1))});
  ASSERT_EQ(same.status, KernelImportResult::Imported);
  EXPECT_EQ(same.images.at(0).action, "already installed");
  EXPECT_EQ(fs::last_write_time(KernelFilePath(Store(), 186)), firstWrite);

  const std::string other = Source("3/186.bin", RealKernel(186, 2));
  const KernelImportResult refused = Run({other});
  EXPECT_EQ(refused.status, KernelImportResult::Refused);
  EXPECT_EQ(refused.conflicts, std::vector<uint32_t>{186});
  EXPECT_EQ(ReadFile(KernelFilePath(Store(), 186)), RealKernel(186, 1));

  const KernelImportResult replaced = Run({other}, /*replace=*/true);
  ASSERT_EQ(replaced.status, KernelImportResult::Imported);
  EXPECT_EQ(replaced.images.at(0).action, "replaced");
  EXPECT_EQ(ReadFile(KernelFilePath(Store(), 186)), RealKernel(186, 2));
  EXPECT_EQ(StoreFiles(), std::vector<std::string>{"186.bin"});
}

TEST_F(Import, AStoreThatCannotBeWrittenLeavesNoFileBehind) {
  // The store's parent is a regular file, so the folder cannot be made.
  WriteFile(store.Path() / "quill", {1});
  const KernelImportResult result = Run({Source("186.bin", RealKernel(186))});
  EXPECT_EQ(result.status, KernelImportResult::StoreFailed);
  EXPECT_TRUE(result.images.empty());

  // A store folder without write permission (root may write anyway, so only then).
  fs::remove(store.Path() / "quill");
  fs::create_directories(Store());
  fs::permissions(Store(), fs::perms::owner_read | fs::perms::owner_exec);
  const KernelImportResult locked = Run({Source("148.bin", RealKernel(148))});
  if (::geteuid() != 0) {
    EXPECT_EQ(locked.status, KernelImportResult::StoreFailed);
  }
  fs::permissions(Store(), fs::perms::owner_all);
  for (const std::string& name : StoreFiles()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

// Damaged and hostile Windows modules: every variant is refused whole, never read outside the
// file, never walked without end.
class DamagedModule : public Import {
 protected:
  void SetUp() override {
    good = ReadFile(BuildModule(sources.Path(), {{186, RealKernel(186)}, {148, RealKernel(148)}}));
    ASSERT_GT(good.size(), 4000u);
  }
  // The file offset of the .rsrc section's raw data (its resource directory root).
  std::size_t ResourceRoot() const {
    const std::string name = ".rsrc";
    auto it = std::search(good.begin(), good.end(), name.begin(), name.end());
    EXPECT_NE(it, good.end());
    const std::size_t header = static_cast<std::size_t>(it - good.begin());
    return Get32(good, header + 20);
  }
  static uint32_t Get32(const std::vector<uint8_t>& d, std::size_t at) {
    return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (static_cast<uint32_t>(d[at + 3]) << 24);
  }
  static void Put32(std::vector<uint8_t>& d, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  // The offset of the data entry's size field of the resource with these bytes.
  std::size_t SizeField(uint32_t size) const {
    for (std::size_t at = ResourceRoot(); at + 8 <= good.size(); at += 4)
      if (Get32(good, at) == size && Get32(good, at + 4) == 0 && Get32(good, at - 4) > 0x1000) return at;
    ADD_FAILURE() << "no data entry of size " << size;
    return 0;
  }
  std::vector<uint8_t> good;
};

TEST_F(DamagedModule, EveryDamageIsAClearErrorAndNothingReachesTheStore) {
  std::vector<PeResource> resources;
  std::string error;
  ASSERT_TRUE(ReadPeResources(good, "FPCODE", resources, error)) << error;
  ASSERT_EQ(resources.size(), 2u);

  struct Row {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
  };
  const std::size_t root = ResourceRoot();
  const Row rows[] = {
      {"PE offset past the end", [](auto& d) { Put32(d, 0x3C, 0x7FFFFFF0); }},
      {"no PE signature", [](auto& d) { d[Get32(d, 0x3C)] = 'X'; }},
      {"resource directory past the end",
       [&](auto& d) { Put32(d, root + 12, 0); Put32(d, root + 12, 0xFFFF0000); }},
      {"entry count beyond the resource data", [&](auto& d) { d[root + 14] = 0xFF; d[root + 15] = 0xFF; }},
      {"huge size field", [&](auto& d) { Put32(d, SizeField(1725), 0xFFFFFFF0); }},
      {"data offset past the end", [&](auto& d) { Put32(d, SizeField(1725) - 4, 0x7FFFFFF0); }},
      {"directory pointing at itself",
       [&](auto& d) {
         for (uint32_t e = 0; e < 4; ++e) Put32(d, root + 16 + e * 8 + 4, 0x80000000u);
       }},
      {"type name past the end",
       [&](auto& d) {
         for (uint32_t e = 0; e < 4; ++e)
           if (Get32(d, root + 16 + e * 8) & 0x80000000u) Put32(d, root + 16 + e * 8, 0x8FFFFFF0u);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<uint8_t> bad = good;
    row.damage(bad);
    const bool ok = ReadPeResources(bad, "FPCODE", resources, error);
    const KernelImportResult result = Run({Source("damaged.dll", bad).string()});
    EXPECT_EQ(result.status, KernelImportResult::Refused);
    EXPECT_TRUE(StoreFiles().empty());
    if (ok) {
      // A tree bent back on itself is walked once and yields nothing.
      EXPECT_TRUE(resources.empty());
      EXPECT_NE(result.errors.at(0).find("no FPCODE"), std::string::npos) << result.errors.at(0);
    } else {
      EXPECT_FALSE(error.empty());
      EXPECT_TRUE(resources.empty());
      EXPECT_NE(result.errors.at(0).find("damaged"), std::string::npos) << result.errors.at(0);
    }
  }

  // Cut short anywhere: an error, or (cut after the last byte it needs) the right kernels.
  for (std::size_t length = 0; length < good.size(); length += 37) {
    const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
    if (ReadPeResources(cut, "FPCODE", resources, error)) {
      for (const PeResource& r : resources) EXPECT_EQ(r.bytes, RealKernel(r.id)) << length;
    } else {
      EXPECT_TRUE(resources.empty()) << length;
    }
  }
  // A module without kernels is refused with its own reason.
  const fs::path empty = BuildModule(sources.Path(), {}, /*extra=*/true);
  const KernelImportResult none = Run({empty.string()});
  EXPECT_EQ(none.status, KernelImportResult::Refused);
  EXPECT_NE(none.errors.at(0).find("no FPCODE"), std::string::npos) << none.errors.at(0);
}

}  // namespace
}  // namespace quill::test
