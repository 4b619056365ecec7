// The one exception that unwinds an operation: the user's abort of a running operation, and a
// format error of the program-file reader. It is caught where the work it ends was started: the
// worker loop of the communication thread, or the program-file check.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace quill {

class CUserException : public std::exception {
 public:
  enum Reason {
    Abort,          // the user asked the running operation to stop
    FormatError,    // a line that is not a valid record of the file's format
    RecordTooLong,  // a data record with more data bytes than the caller's buffer holds
    UnknownFormat,  // content that is neither S-record nor Intel HEX text
    Changed,        // a raw binary file whose length is not the one the check read
  };

  CUserException(Reason reason, std::string detail, int line = 0)
      : reason_(reason), detail_(std::move(detail)), line_(line) {}

  Reason GetReason() const { return reason_; }
  bool IsAbort() const { return reason_ == Abort; }
  // The line of the program file the error was found in (1 for the first), 0 when none applies.
  int GetLine() const { return line_; }
  // What went wrong, for diagnostics; the user is shown the string-table message instead.
  const char* what() const noexcept override { return detail_.c_str(); }

 private:
  Reason reason_;
  std::string detail_;
  int line_;
};

}  // namespace quill
