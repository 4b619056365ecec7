// The record store in PostgreSQL, through libpq. The record is jsonb, the time a timestamp with
// its time zone (UTC goes in, so a dashboard in any zone reads the right moment).
#include <libpq-fe.h>

#include <cstdlib>

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
    // Two stations starting at once must not both try to create the table.
    if (!Exec("BEGIN", error) || !Exec("SELECT pg_advisory_xact_lock(7243010411)", error) ||
        !Exec("CREATE TABLE IF NOT EXISTS quill_records (record_id text PRIMARY KEY, "
              "time timestamptz NOT NULL, station text, port text, job_sha256 text, value text, "
              "value_name text, result text, exit_status integer, record jsonb NOT NULL)",
              error) ||
        !Exec("CREATE INDEX IF NOT EXISTS quill_records_time ON quill_records (time)", error) ||
        !Exec("COMMIT", error)) {
      Drop();
      return false;
    }
    return true;
  }

  bool Insert(const std::vector<StoredRecord>& records, std::string* error) override {
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

  bool Query(const RecordFilter& f, std::vector<StoredRecord>& out, std::string* error) override {
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

 private:
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
