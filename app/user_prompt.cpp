#include "app/user_prompt.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include "resources/strings.h"

namespace quill {

namespace {

class DialogPrompt final : public UserPrompt {
 public:
  int ShowMessage(QWidget* parent, uint32_t, const std::string& text,
                  MessageButtons buttons) override {
    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("QUILL"));
    box.setText(QString::fromStdString(text));
    if (buttons == MessageButtons::YesNo) {
      box.setIcon(QMessageBox::Question);
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      box.setDefaultButton(QMessageBox::Yes);
      return box.exec() == QMessageBox::Yes ? AnswerYes : AnswerNo;
    }
    box.setIcon(QMessageBox::Warning);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return AnswerOk;
  }

  std::optional<std::string> GetOpenFileName(QWidget* parent,
                                             const OpenFileRequest& request) override {
    QFileDialog dialog(parent, QString::fromStdString(request.title),
                       QString::fromStdString(request.initialFolder));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    QStringList filters;
    for (const FileFilter& f : request.filters) {
      // The toolkit reads the patterns from the last parentheses, separated by blanks.
      // A description that ends with its own patterns shows them only once.
      const QString patterns = QString::fromStdString(f.patterns);
      QString description = QString::fromStdString(f.description);
      const QString tail = "(" + patterns + ")";
      if (description.endsWith(tail)) description.chop(tail.size());
      filters << description.trimmed() + " (" + QString(patterns).replace(';', ' ') + ")";
    }
    if (!filters.isEmpty()) dialog.setNameFilters(filters);
    if (!request.proposedName.empty()) dialog.selectFile(QString::fromStdString(request.proposedName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
  }
};

DialogPrompt g_dialogPrompt;
UserPrompt* g_pPrompt = &g_dialogPrompt;

}  // namespace

UserPrompt& Prompt() { return *g_pPrompt; }

UserPrompt* SetPrompt(UserPrompt* prompt) {
  UserPrompt* previous = g_pPrompt;
  g_pPrompt = prompt ? prompt : &g_dialogPrompt;
  return previous;
}

int MessageBoxId(QWidget* parent, uint32_t id, MessageButtons buttons,
                 std::initializer_list<MsgArg> inserts) {
  const std::string text =
      inserts.size() == 0 ? LoadString(id) : FormatString(id, inserts);
  return Prompt().ShowMessage(parent, id, text, buttons);
}

}  // namespace quill
