// The user-mode page tests run on Qt's offscreen platform with real widgets; simulated boards
// announce their ports in a runtime folder of the test's own, so boards running elsewhere stay
// out of the port lists.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QStandardPaths>
#include <filesystem>

#include "app/user_prompt.h"

namespace {

// No test may leave a real message box or file dialog waiting for a user who is not there; a
// test that expects a message installs a prompt of its own.
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
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  char runtime[] = "/tmp/quill-gui-user-XXXXXX";
  if (mkdtemp(runtime) == nullptr) return 2;
  setenv("XDG_RUNTIME_DIR", runtime, 1);
  QStandardPaths::setTestModeEnabled(true);
  QApplication app(argc, argv);
  UnexpectedPrompt unexpected;
  quill::SetPrompt(&unexpected);
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(runtime, ignored);
  return result;
}
