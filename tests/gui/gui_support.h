// Helpers of the wizard tests: a temporary settings file, a prompt that records the messages
// shown, pseudo-terminals announced as ports, and screenshots.
#pragma once

#include <QString>
#include <QTemporaryDir>
#include <string>
#include <vector>

#include "app/settings_store.h"
#include "app/user_prompt.h"

class QAbstractButton;
class QComboBox;
class QWidget;

namespace quill::test {

// A settings file of its own in a temporary folder.
class TempSettings {
 public:
  TempSettings();
  QString Path() const { return m_dir.filePath("quill.ini"); }
  SettingsStore Store() const { return SettingsStore(Path()); }

 private:
  QTemporaryDir m_dir;
};

// Records every message shown and answers it with OK (or with the given answer).
class RecordingPrompt final : public UserPrompt {
 public:
  RecordingPrompt() : m_previous(SetPrompt(this)) {}
  ~RecordingPrompt() override { SetPrompt(m_previous); }
  int ShowMessage(QWidget*, uint32_t id, const std::string& text, MessageButtons) override {
    ids.push_back(id);
    texts.push_back(text);
    return answer;
  }
  std::optional<std::string> GetOpenFileName(QWidget*, const OpenFileRequest&) override {
    return chosenFile;
  }
  std::vector<uint32_t> ids;
  std::vector<std::string> texts;
  std::optional<std::string> chosenFile;  // what the file dialog returns
  int answer = AnswerOk;

 private:
  UserPrompt* m_previous;
};

// A pseudo-terminal whose slave side is announced as a port, as a simulated board announces
// its own.
class AnnouncedPort {
 public:
  explicit AnnouncedPort(const std::string& name);
  ~AnnouncedPort();
  AnnouncedPort(const AnnouncedPort&) = delete;
  AnnouncedPort& operator=(const AnnouncedPort&) = delete;
  // Keeps the port open and locked in another process, as another program using it would.
  void Hold();
  const std::string& Path() const { return m_link; }

 private:
  int m_master = -1;
  pid_t m_holder = -1;  // the process that holds it
  std::string m_link;
};

// Holds a serial device open and locked for as long as it lives, as another program using it
// would, so that it cannot be opened for exclusive use.
class HeldPort {
 public:
  explicit HeldPort(const std::string& path);
  ~HeldPort();
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;

 private:
  int m_fd = -1;
};

// The ports the configuration page must offer now: every candidate the list finds free.
std::vector<std::string> AvailablePorts();

// Clicks a button near its left end, where a radio button's mark is.
void Click(QAbstractButton* button);

// Chooses entry index of a drop-down list with the keyboard, as a user would.
void Choose(QComboBox* combo, int index);

// Saves an image of widget as screenshots/<name>.png in the build folder.
void Screenshot(QWidget* widget, const QString& name);

}  // namespace quill::test
