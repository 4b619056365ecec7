// The wizard tests run on Qt's offscreen platform with real widgets. Simulated boards are looked
// for in a runtime folder of the test's own, so boards running elsewhere stay out of its port
// lists. The Windows build runs them on Qt's windows platform, the one quill.exe has, under
// wine on an X server without a screen.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QStandardPaths>
#include <filesystem>

#include "app/user_prompt.h"

namespace {

// No test may leave a real message box or file dialog waiting for a user who is not there.
class UnexpectedPrompt final : public quill::UserPrompt {
 public:
  int ShowMessage(QWidget*, uint32_t id, const std::string& text,
                  quill::MessageButtons) override {
    ADD_FAILURE() << "unexpected message " << id << ": " << text;
    return quill::AnswerOk;
  }
  std::optional<std::string> GetOpenFileName(QWidget*, const quill::OpenFileRequest&) override {
    ADD_FAILURE() << "unexpected file dialog";
    return std::nullopt;
  }
};

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // A platform named for the Linux tests may reach the program through wine's environment.
  _putenv_s("QT_QPA_PLATFORM", "windows");
#else
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  char runtime[] = "/tmp/quill-gui-test-XXXXXX";
  if (mkdtemp(runtime) == nullptr) return 2;
  setenv("XDG_RUNTIME_DIR", runtime, 1);
#endif
  QStandardPaths::setTestModeEnabled(true);
  QApplication app(argc, argv);
  UnexpectedPrompt unexpected;
  quill::SetPrompt(&unexpected);
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
#ifndef _WIN32
  std::error_code ignored;
  std::filesystem::remove_all(runtime, ignored);
#endif
  return result;
}
