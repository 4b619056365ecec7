// The application object: builds the wizard sheet with its operation page and the page factory
// of its page sets, runs it modally and ends the process when it closes.
#pragma once

#include <QApplication>

namespace quill {

class CFlashApp : public QApplication {
  Q_OBJECT

 public:
  CFlashApp(int& argc, char** argv);

  // Runs the whole wizard; returns false always, so the process then ends.
  bool InitInstance();
};

}  // namespace quill
