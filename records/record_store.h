// The record store of a production line: every board's record as one row of the table
// quill_records, in an SQLite file or a PostgreSQL database, which any SQL tool or dashboard
// reads. The database libraries are used directly: SQLite's C API and libpq.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quill::records {

// One row of quill_records. An empty text is stored as NULL.
struct StoredRecord {
  std::string recordId;  // a UUID, made when the board finished
  std::string time;      // UTC, ISO 8601 ("2026-12-10T04:20:26.123Z")
  std::string station, port, jobSha256, value, valueName, result;
  int exitStatus = 0;
  std::string record;  // the whole JSON record, one line
};

// What `quill-cli records` asks for; an empty field does not filter.
struct RecordFilter {
  std::string jobSha256, value, port;
  std::string since;  // UTC, ISO 8601 in the form of StoredRecord::time
};

enum class StoreKind { Sqlite, PostgreSql };

// The store a URL names: sqlite:PATH, or a PostgreSQL connection string (postgresql://...,
// postgres://..., or libpq's "key=value ..." form). Nothing when it is neither (*error says
// what is accepted).
std::optional<StoreKind> StoreKindOf(const std::string& url, std::string* error);

// The URL as it may be shown: a password in it replaced by "***".
std::string ShownUrl(const std::string& url);

// Whether this build reaches PostgreSQL.
bool HasPostgreSql();

class RecordStore {
 public:
  virtual ~RecordStore() = default;
  // Connects when not connected and creates the table when it is missing. False with the reason.
  virtual bool Connect(std::string* error) = 0;
  // Adds the records in one transaction; a record whose record_id the store holds already is
  // left as it is, so sending one twice is harmless. True only once the store has confirmed
  // them all (committed).
  virtual bool Insert(const std::vector<StoredRecord>& records, std::string* error) = 0;
  // The records the filter lets through, newest first.
  virtual bool Query(const RecordFilter& filter, std::vector<StoredRecord>& out,
                     std::string* error) = 0;

  // Per-board values, kept beside the records (tables quill_value_counters and
  // quill_value_lists), each taken in one transaction.
  enum class Taken { Yes, Exhausted, Failed };
  // The counter name's value (start when the store has no such counter yet), advanced by step
  // in the same transaction; Exhausted, taking nothing, once it is past max.
  virtual Taken TakeCounter(const std::string& name, uint64_t start, uint64_t step, uint64_t max,
                            uint64_t* value, std::string* error) = 0;
  // Adds the list's lines under name where the store lacks their positions (the stored list wins).
  virtual bool LoadList(const std::string& name, const std::vector<std::string>& values,
                        std::string* error) = 0;
  // The first line of the list not taken yet, marked taken in the same transaction.
  virtual Taken TakeListValue(const std::string& name, std::string* value, std::string* error) = 0;
};

// The counter's next value after value, as the stores keep it ("-" once past 2^64 - 1).
std::string NextCounterText(uint64_t value, uint64_t step);

// The store of url (whose kind StoreKindOf has accepted); not connected yet.
std::unique_ptr<RecordStore> MakeRecordStore(const std::string& url);

// A new random (version 4) UUID in its text form.
std::string NewUuid();

// Where the spool and the local values live: $XDG_DATA_HOME/quill, else on Windows
// %LOCALAPPDATA%\Quill, else ~/.local/share/quill.
std::string DataFolder();
// The file name in DataFolder(), with the system's separator.
std::string InDataFolder(const std::string& name);

// The machine's name, a record's station when none is given.
std::string HostName();

// A record's time: UTC to the millisecond, as 2026-12-10T08:12:29.123Z.
std::string UtcText(std::time_t seconds, int milliseconds);
std::string UtcNow();

}  // namespace quill::records
