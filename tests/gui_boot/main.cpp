// The page tests run on Qt's offscreen platform with real widgets; simulated boards announce
// their ports in a runtime folder of the test's own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QStandardPaths>
#include <filesystem>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  char runtime[] = "/tmp/quill-gui-boot-XXXXXX";
  if (mkdtemp(runtime) == nullptr) return 2;
  setenv("XDG_RUNTIME_DIR", runtime, 1);
  QStandardPaths::setTestModeEnabled(true);
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(runtime, ignored);
  return result;
}
