// Helpers of the page tests: a prompt that records every message and answers the file dialog, a
// wizard on a temporary settings file, a gate that holds the simulated board at chosen points of
// the exchange until the page shows what it must, and a port held by another process.
#pragma once

#include <sys/types.h>

#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/flash_sheet.h"
#include "app/user_prompt.h"
#include "pages/operation_page.h"
#include "sim/sim_board.h"

namespace quill::test {

struct ShownMessage {
  uint32_t id;
  std::string text;
  MessageButtons buttons;
};

class ScriptedPrompt final : public UserPrompt {
 public:
  ScriptedPrompt() : m_previous(SetPrompt(this)) {}
  ~ScriptedPrompt() override { SetPrompt(m_previous); }
  int ShowMessage(QWidget*, uint32_t id, const std::string& text,
                  MessageButtons buttons) override {
    messages.push_back({id, text, buttons});
    return buttons == MessageButtons::YesNo ? yesNoAnswer : AnswerOk;
  }
  std::optional<std::string> GetOpenFileName(QWidget*, const OpenFileRequest& request) override {
    requests.push_back(request);
    return chosenFile;
  }
  std::vector<uint32_t> Ids() const;

  std::vector<ShownMessage> messages;
  std::vector<OpenFileRequest> requests;
  std::optional<std::string> chosenFile;
  int yesNoAnswer = AnswerYes;

 private:
  UserPrompt* m_previous;
};

// Holds the board's serving thread inside its log at chosen points: before it handles the host
// bytes that cover a given offset of everything received, or right after it has sent a given
// number of bytes in all. The user-interface thread sees which hold is pending and releases it.
class BoardGate {
 public:
  ~BoardGate() { OpenAll(); }
  void Attach(sim::BoardOptions& options);
  void HoldAtReceived(std::size_t offset, std::string name);
  void HoldAtSent(std::size_t count, std::string name);
  std::string Pending() const;
  void Release();
  // Releases the pending hold and every later one.
  void OpenAll();

 private:
  struct Hold {
    bool received;
    std::size_t at;
    std::string name;
  };
  void OnLog(sim::LogKind kind, std::string_view text);
  void Block(std::unique_lock<std::mutex>& lock, const std::string& name);

  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<Hold> m_holds;
  std::size_t m_received = 0;
  std::size_t m_sent = 0;
  std::string m_pending;
  bool m_released = false;
  bool m_open = false;
};

// The wizard as the program builds it, on settings of its own, configured for a device, mode and
// clock range on port, at the clock range's highest boot rate and the user rate 9600.
class WizardUnderTest {
 public:
  WizardUnderTest(const std::string& device, int mode, int clock, const std::string& port);
  ~WizardUnderTest();
  CFlashSheet& Sheet() { return *m_sheet; }
  QString SettingsPath() const { return m_dir.filePath("quill.ini"); }
  COperationPage& OperationPage() { return *m_operation; }
  // Shows the sheet and waits until it is on screen with page 0 active.
  bool Show();
  int ActiveTemplate() const;
  template <class Page>
  Page* Active() const {
    return qobject_cast<Page*>(m_sheet->GetActivePage());
  }
  void PressNext();
  void PressBack();
  // Chooses the operation on page 0 and presses Next.
  void ChooseOperation(int operation);
  // The template ids of the pages shown, in order, each change once.
  const std::vector<int>& PagesShown() const { return m_shown; }
  bool WaitForTemplate(int templateId, int timeoutMs = 10000);

 private:
  QTemporaryDir m_dir;
  std::unique_ptr<CFlashSheet> m_sheet;
  std::unique_ptr<COperationPage> m_operation;
  std::vector<int> m_shown;
};

// Another process opens the port and takes it for its own, as a terminal program would.
class PortHeldElsewhere {
 public:
  explicit PortHeldElsewhere(const std::string& path);
  ~PortHeldElsewhere();
  bool Held() const { return m_held; }

 private:
  pid_t m_pid = -1;
  int m_quit = -1;
  bool m_held = false;
};

// A board of the device, mode and clock range, waiting in state.
sim::BoardOptions BoardOf(const std::string& device, int mode, int clock,
                          sim::BoardState state = sim::BoardState::Boot);

// The text of a string id, as the pages show it.
QString Text(uint32_t id);
// Saves the sheet's image as screenshots/<name>.png in the build folder.
void Screenshot(QWidget* widget, const QString& name);

}  // namespace quill::test
