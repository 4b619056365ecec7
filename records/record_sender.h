// Nothing of a record is lost and nothing holds up a board: each record goes first into the
// spool (an SQLite file of the user's, on the disk before anything else happens to it), then to
// the store, and leaves the spool only once the store has confirmed it. All of it runs on a
// thread of its own, so a slow or absent store costs a station no time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "records/record_store.h"
#include "records/sqlite_db.h"

namespace quill::records {

// The records not yet confirmed by their store, of every store, in DataFolder()/spool.sqlite.
// Several processes share it.
class Spool {
 public:
  // Makes the folder (private to the user) and the file when missing. False with the reason.
  bool Open(std::string* error);
  static std::string Path();
  bool Add(const std::string& store, const StoredRecord& record, std::string* error);
  // Up to limit waiting records of store, oldest first.
  bool Pending(const std::string& store, int limit, std::vector<StoredRecord>& out,
               std::string* error);
  bool Remove(const std::vector<StoredRecord>& records, std::string* error);
  // The records waiting for store; -1 when the spool cannot be read.
  long Count(const std::string& store);
  // Every store some record waits for.
  std::vector<std::string> Stores();

 private:
  SqliteDb db_;
};

// Sends the spool's records of store until none waits: true when none waits afterwards, false
// with the reason when the store or the spool could not be reached. *left: the records still
// waiting.
bool FlushSpool(Spool& spool, RecordStore& store, const std::string& url, std::string* error,
                long* left);

class RecordSender {
 public:
  // retryEvery: how often records left waiting are tried again with no new record to send
  // (zero: only with the next record).
  RecordSender(std::string url, std::chrono::milliseconds retryEvery);
  ~RecordSender();
  RecordSender(const RecordSender&) = delete;
  RecordSender& operator=(const RecordSender&) = delete;

  // Hands the record over; it is spooled and sent on the sender's thread.
  void Submit(StoredRecord record);
  // A line for standard error when something about the records needs saying (the store could
  // not be reached, the spool cannot be written); each thing is said once.
  std::optional<std::string> TakeNotice();
  // Sends what has been handed over (one more try unless the store has just failed), then stops
  // the thread. The line to print when records are left waiting, or nothing.
  std::optional<std::string> Finish();

 private:
  void Work();
  bool SendWaiting(std::string* error);
  void Notice(std::string text);

  const std::string url_;
  const std::chrono::milliseconds retryEvery_;
  std::unique_ptr<RecordStore> store_;
  Spool spool_;
  bool spoolOk_ = false;
  std::vector<StoredRecord> unspooled_;  // only when the spool cannot be written

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<StoredRecord> queue_;
  bool stopping_ = false;
  bool waiting_ = false;     // records are left in the spool after the last try
  bool storeFailed_ = false; // said once
  std::vector<std::string> notices_;
  std::thread thread_;
};

}  // namespace quill::records
