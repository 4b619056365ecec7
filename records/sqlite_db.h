// A thin hold on an SQLite database file for the record store and the spool: opened with a busy
// timeout (several processes of a station share the files) in WAL mode, statements with text
// parameters, errors as text.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct sqlite3;

namespace quill::records {

class SqliteDb {
 public:
  SqliteDb() = default;
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  // Opens (creating when missing) the file; its folder must exist. False with the reason.
  bool Open(const std::string& path, std::string* error);
  bool IsOpen() const { return db_ != nullptr; }
  void Close();

  // Runs sql (one or more statements without parameters).
  bool Exec(const std::string& sql, std::string* error);
  // Runs one statement with its parameters (bound as text, as NULL, or as an integer). Each
  // result row goes to row (NULL columns as empty text).
  struct Param {
    std::string text;
    bool null = false;
    bool integer = false;
  };
  bool Run(const std::string& sql, const std::vector<Param>& params, std::string* error,
           const std::function<void(const std::vector<std::string>&)>& row = {});
  // The rows the last Run changed.
  int Changes() const;

 private:
  sqlite3* db_ = nullptr;
};

// Text, NULL when empty.
inline SqliteDb::Param TextOrNull(const std::string& text) { return {text, text.empty(), false}; }
inline SqliteDb::Param Integer(long long value) { return {std::to_string(value), false, true}; }

}  // namespace quill::records
