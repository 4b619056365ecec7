// The one seam through which the wizard asks the user anything: message boxes with string-table
// texts, and the file-open dialog. Tests install their own UserPrompt to see which message was
// shown and to answer it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "resources/format.h"

class QWidget;

namespace quill {

enum class MessageButtons { Ok, YesNo };
// The answers, numbered as the platform's dialog results are.
enum MessageAnswer : int { AnswerOk = 1, AnswerYes = 6, AnswerNo = 7 };

struct FileFilter {
  std::string description;  // "Motorola S-record hex files (*.s;*.mot)"
  std::string patterns;     // "*.s;*.mot"
};

struct OpenFileRequest {
  std::string title;
  std::vector<FileFilter> filters;
  std::string proposedName;   // the file name (or path) the dialog starts with
  std::string initialFolder;  // where it starts when proposedName has no folder
};

class UserPrompt {
 public:
  virtual ~UserPrompt() = default;
  // Shows text modally over parent and returns the answer. stringId names the string-table
  // entry the text came from (0 for a text of the toolkit's own, such as a file-error report).
  virtual int ShowMessage(QWidget* parent, uint32_t stringId, const std::string& text,
                          MessageButtons buttons) = 0;
  // The chosen file's full path, or nothing when the user cancelled. The file and its folder
  // must exist.
  virtual std::optional<std::string> GetOpenFileName(QWidget* parent,
                                                     const OpenFileRequest& request) = 0;
};

// The prompt in use: the toolkit's own dialogs unless another one was installed.
UserPrompt& Prompt();
// Installs prompt (nullptr: the toolkit's dialogs again) and returns the one it replaces.
UserPrompt* SetPrompt(UserPrompt* prompt);

// Shows string id, its inserts formatted, and returns the answer.
int MessageBoxId(QWidget* parent, uint32_t id, MessageButtons buttons = MessageButtons::Ok,
                 std::initializer_list<MsgArg> inserts = {});

}  // namespace quill
