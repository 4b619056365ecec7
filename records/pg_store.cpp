// The record store in PostgreSQL, through libpq. The record is jsonb, the time a timestamp with
// its time zone (UTC goes in, so a dashboard in any zone reads the right moment).
#include <libpq-fe.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "records/record_store.h"

namespace quill::records {

bool HasPostgreSql() { return true; }

namespace {

std::string ErrorText(PGconn* conn) {
  std::string text = PQerrorMessage(conn);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text.empty() ? "no answer" : text;
}

class PgStore : public RecordStore {
 public:
  explicit PgStore(std::string url) : url_(std::move(url)) {}
  ~PgStore() override { Drop(); }

  bool Connect(std::string* error) override {
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) return true;
    Drop();
    // The URL's own settings win over these defaults: a store that does not answer is given up
    // after 5 s, and one that stops answering mid-statement after 10 s, so a sender never hangs.
    const char* keys[] = {"connect_timeout", "tcp_user_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"5", "10000", "quill", url_.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
      if (error) *error = conn_ != nullptr ? ErrorText(conn_) : "out of memory";
      Drop();
      return false;
    }
    // The server's notices ("already exists, skipping") are no business of the user's terminal.
    PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    // Tables already there are not created again: a user who may only read and write them (a
    // dashboard's, a station's) needs no right to create anything.
    std::vector<std::string> present;
    if (!Params("SELECT to_regclass('quill_records') IS NOT NULL AND "
                "to_regclass('quill_value_counters') IS NOT NULL AND "
                "to_regclass('quill_value_lists') IS NOT NULL",
                {}, error, &present)) {
      Drop();
      return false;
    }
    if (!present.empty() && present[0] == "t") return true;
    // Two stations starting at once must not both try to create the table.
    if (!Exec("BEGIN", error) || !Exec("SELECT pg_advisory_xact_lock(7243010411)", error) ||
        !Exec("CREATE TABLE IF NOT EXISTS quill_records (record_id text PRIMARY KEY, "
              "time timestamptz NOT NULL, station text, port text, job_sha256 text, value text, "
              "value_name text, result text, exit_status integer, record jsonb NOT NULL)",
              error) ||
        !Exec("CREATE INDEX IF NOT EXISTS quill_records_time ON quill_records (time)", error) ||
        !Exec("CREATE TABLE IF NOT EXISTS quill_value_counters (name text PRIMARY KEY, "
              "next text NOT NULL)", error) ||
        !Exec("CREATE TABLE IF NOT EXISTS quill_value_lists (name text NOT NULL, "
              "position integer NOT NULL, value text NOT NULL, taken boolean NOT NULL DEFAULT false, "
              "PRIMARY KEY (name, position))", error) ||
        !Exec("COMMIT", error)) {
      Drop();
      return false;
    }
    return true;
  }

  // Each operation on a connection the server has closed since (a restart) is tried once more on
  // a new one.
  bool Insert(const std::vector<StoredRecord>& records, std::string* error) override {
    return Again([&] { return InsertOnce(records, error); }, false);
  }
  bool Query(const RecordFilter& filter, std::vector<StoredRecord>& out, std::string* error) override {
    return Again([&] { return QueryOnce(filter, out, error); }, false);
  }
  Taken TakeCounter(const std::string& name, uint64_t start, uint64_t step, uint64_t max,
                    uint64_t* value, std::string* error) override {
    return Again([&] { return TakeCounterOnce(name, start, step, max, value, error); }, Taken::Failed);
  }
  Taken TakeListValue(const std::string& name, std::string* value, std::string* error) override {
    return Again([&] { return TakeListValueOnce(name, value, error); }, Taken::Failed);
  }
  bool LoadList(const std::string& name, const std::vector<std::string>& values,
                std::string* error) override {
    return Again([&] { return LoadListOnce(name, values, error); }, false);
  }

 private:
  template <typename F, typename R>
  R Again(F once, R failed) {
    const bool wasConnected = conn_ != nullptr;
    R result = once();
    if (result == failed && wasConnected && conn_ == nullptr) result = once();
    return result;
  }

  bool InsertOnce(const std::vector<StoredRecord>& records, std::string* error) {
    if (!Connect(error)) return false;
    if (!Exec("BEGIN", error)) return Failed();
    for (const StoredRecord& r : records) {
      const std::string exit = std::to_string(r.exitStatus);
      const char* params[] = {r.recordId.c_str(), r.time.c_str(), OrNull(r.station),
                              OrNull(r.port), OrNull(r.jobSha256), OrNull(r.value),
                              OrNull(r.valueName), OrNull(r.result), exit.c_str(),
                              r.record.c_str()};
      PGresult* result = PQexecParams(
          conn_,
          "INSERT INTO quill_records (record_id, time, station, port, job_sha256, value, "
          "value_name, result, exit_status, record) VALUES ($1, $2::timestamptz, $3, $4, $5, "
          "$6, $7, $8, $9::integer, $10::jsonb) ON CONFLICT (record_id) DO NOTHING",
          10, nullptr, params, nullptr, nullptr, 0);
      const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
      if (!ok && error) *error = ErrorText(conn_);
      PQclear(result);
      if (!ok) return Failed();
    }
    // Confirmed only once the commit has come back.
    return Exec("COMMIT", error) || Failed();
  }

  bool QueryOnce(const RecordFilter& f, std::vector<StoredRecord>& out, std::string* error) {
    if (!Connect(error)) return false;
    const char* params[] = {OrNull(f.jobSha256), OrNull(f.value), OrNull(f.port), OrNull(f.since)};
    PGresult* result = PQexecParams(
        conn_,
        "SELECT record_id, to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), "
        "station, port, job_sha256, value, value_name, result, exit_status, record::text "
        "FROM quill_records WHERE ($1::text IS NULL OR job_sha256 = $1) AND "
        "($2::text IS NULL OR value = $2) AND ($3::text IS NULL OR port = $3) AND "
        "($4::timestamptz IS NULL OR time >= $4::timestamptz) ORDER BY time DESC, record_id",
        4, nullptr, params, nullptr, nullptr, 0);
    const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
    if (ok) {
      for (int row = 0; row < PQntuples(result); ++row) {
        auto text = [&](int c) { return std::string(PQgetvalue(result, row, c)); };
        out.push_back({text(0), text(1), text(2), text(3), text(4), text(5), text(6), text(7),
                       std::atoi(PQgetvalue(result, row, 8)), text(9)});
      }
    } else if (error) {
      *error = ErrorText(conn_);
    }
    PQclear(result);
    return ok;
  }

  Taken TakeCounterOnce(const std::string& name, uint64_t start, uint64_t step, uint64_t max,
                        uint64_t* value, std::string* error) {
    if (!Connect(error)) return Taken::Failed;
    const std::string first = std::to_string(start);
    std::vector<std::string> row;
    // The row stays locked until the commit: another station's take waits for this one.
    if (!Exec("BEGIN", error) ||
        !Params("INSERT INTO quill_value_counters (name, next) VALUES ($1, $2) "
                "ON CONFLICT (name) DO NOTHING", {name.c_str(), first.c_str()}, error, nullptr) ||
        !Params("SELECT next FROM quill_value_counters WHERE name = $1 FOR UPDATE",
                {name.c_str()}, error, &row)) {
      Failed();
      return Taken::Failed;
    }
    const std::string next = row.empty() ? "-" : row[0];
    uint64_t current = 0;
    const bool number = !next.empty() && next.find_first_not_of("0123456789") == std::string::npos &&
                        next.size() <= 20 && (next.size() < 20 || next <= "18446744073709551615");
    if (number) current = std::stoull(next);
    if (!number || current > max) {
      Exec("ROLLBACK", nullptr);
      return Taken::Exhausted;
    }
    const std::string after = NextCounterText(current, step);
    if (!Params("UPDATE quill_value_counters SET next = $1 WHERE name = $2",
                {after.c_str(), name.c_str()}, error, nullptr) ||
        !Exec("COMMIT", error)) {
      Failed();
      return Taken::Failed;
    }
    *value = current;
    return Taken::Yes;
  }

  bool LoadListOnce(const std::string& name, const std::vector<std::string>& values,
                    std::string* error) {
    if (!Connect(error) || !Exec("BEGIN", error)) return false;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const std::string position = std::to_string(i);
      if (!Params("INSERT INTO quill_value_lists (name, position, value) VALUES ($1, $2::integer, $3) "
                  "ON CONFLICT (name, position) DO NOTHING",
                  {name.c_str(), position.c_str(), values[i].c_str()}, error, nullptr)) {
        return Failed();
      }
    }
    return Exec("COMMIT", error) || Failed();
  }

  Taken TakeListValueOnce(const std::string& name, std::string* value, std::string* error) {
    if (!Connect(error)) return Taken::Failed;
    std::vector<std::string> row;
    // SKIP LOCKED: a line another station is taking right now is passed over, not waited for.
    if (!Exec("BEGIN", error) ||
        !Params("SELECT position::text, value FROM quill_value_lists WHERE name = $1 AND NOT taken "
                "ORDER BY position LIMIT 1 FOR UPDATE SKIP LOCKED",
                {name.c_str()}, error, &row)) {
      Failed();
      return Taken::Failed;
    }
    if (row.empty()) {
      Exec("ROLLBACK", nullptr);
      return Taken::Exhausted;
    }
    if (!Params("UPDATE quill_value_lists SET taken = true WHERE name = $1 AND position = $2::integer",
                {name.c_str(), row[0].c_str()}, error, nullptr) ||
        !Exec("COMMIT", error)) {
      Failed();
      return Taken::Failed;
    }
    *value = row[1];
    return Taken::Yes;
  }

  // One statement with text parameters; the first row's columns go to *row when given.
  bool Params(const char* sql, const std::vector<const char*>& params, std::string* error,
              std::vector<std::string>* row) {
    PGresult* result = PQexecParams(conn_, sql, static_cast<int>(params.size()), nullptr,
                                    params.data(), nullptr, nullptr, 0);
    const ExecStatusType status = PQresultStatus(result);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok && error) *error = ErrorText(conn_);
    if (ok && row != nullptr && PQntuples(result) > 0) {
      for (int c = 0; c < PQnfields(result); ++c) row->push_back(PQgetvalue(result, 0, c));
    }
    PQclear(result);
    return ok;
  }

  static const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

  bool Exec(const char* sql, std::string* error) {
    PGresult* result = PQexec(conn_, sql);
    const ExecStatusType status = PQresultStatus(result);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok && error) *error = ErrorText(conn_);
    PQclear(result);
    return ok;
  }

  // A statement failed: the transaction is given up, and a connection that broke is let go.
  bool Failed() {
    if (PQstatus(conn_) == CONNECTION_OK) Exec("ROLLBACK", nullptr);
    else Drop();
    return false;
  }

  void Drop() {
    if (conn_ != nullptr) PQfinish(conn_);
    conn_ = nullptr;
  }

  std::string url_;
  PGconn* conn_ = nullptr;
};

}  // namespace

std::unique_ptr<RecordStore> MakePostgreSqlStore(const std::string& url) {
  return std::make_unique<PgStore>(url);
}

}  // namespace quill::records
