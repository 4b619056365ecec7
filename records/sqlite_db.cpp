#include "records/sqlite_db.h"

#include <sqlite3.h>

namespace quill::records {

SqliteDb::~SqliteDb() { Close(); }

void SqliteDb::Close() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool SqliteDb::Open(const std::string& path, std::string* error) {
  Close();
  const int rc = sqlite3_open_v2(path.c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    Close();
    return false;
  }
  // Writers of other processes are waited for, not failed; WAL lets readers go on meanwhile, and
  // a committed row is on the disk (synchronous FULL) before the commit returns.
  sqlite3_busy_timeout(db_, 10000);
  if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", error)) {
    Close();
    return false;
  }
  return true;
}

bool SqliteDb::Exec(const std::string& sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  if (error) *error = message != nullptr ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return false;
}

bool SqliteDb::Run(const std::string& sql, const std::vector<Param>& params, std::string* error,
                   const std::function<void(const std::vector<std::string>&)>& row) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    if (error) *error = sqlite3_errmsg(db_);
    return false;
  }
  for (std::size_t i = 0; i < params.size(); ++i) {
    const int index = static_cast<int>(i) + 1;
    if (params[i].null) sqlite3_bind_null(statement, index);
    else if (params[i].integer) sqlite3_bind_int64(statement, index, std::stoll(params[i].text));
    else sqlite3_bind_text(statement, index, params[i].text.c_str(), static_cast<int>(params[i].text.size()), SQLITE_TRANSIENT);
  }
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    if (!row) continue;
    std::vector<std::string> columns;
    for (int c = 0; c < sqlite3_column_count(statement); ++c) {
      const unsigned char* text = sqlite3_column_text(statement, c);
      columns.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    }
    row(columns);
  }
  const bool ok = rc == SQLITE_DONE;
  if (!ok && error) *error = sqlite3_errmsg(db_);
  sqlite3_finalize(statement);
  return ok;
}

int SqliteDb::Changes() const { return sqlite3_changes(db_); }

}  // namespace quill::records
