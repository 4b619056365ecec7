#include "records/record_sender.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>

namespace quill::records {

namespace {

constexpr int kBatch = 200;

bool MakeFolder(const std::string& folder, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    if (error) *error = "cannot create " + folder + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

std::string Spool::Path() { return InDataFolder("spool.sqlite"); }

bool Spool::Open(std::string* error) {
  if (db_.IsOpen()) return true;
  if (!MakeFolder(DataFolder(), error)) return false;
#ifndef _WIN32
  // The spool names each record's store, a password in its URL too: the user's alone (SQLite
  // gives its journal files the database file's permissions). On Windows the folder, the user's
  // local application data, is the user's alone already.
  const int fd = ::open(Path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
#endif
  std::string why;
  if (!db_.Open(Path(), &why) ||
      !db_.Exec("CREATE TABLE IF NOT EXISTS spool (record_id TEXT PRIMARY KEY, store TEXT NOT NULL, "
                "time TEXT NOT NULL, station TEXT, port TEXT, job_sha256 TEXT, value TEXT, "
                "value_name TEXT, result TEXT, exit_status INTEGER, record TEXT NOT NULL)",
                &why)) {
    if (error) *error = Path() + ": " + why;
    db_.Close();
    return false;
  }
  return true;
}

bool Spool::Add(const std::string& store, const StoredRecord& r, std::string* error) {
  return db_.Run("INSERT OR IGNORE INTO spool (record_id, store, time, station, port, job_sha256, "
                 "value, value_name, result, exit_status, record) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                 {{r.recordId}, {store}, {r.time}, TextOrNull(r.station), TextOrNull(r.port),
                  TextOrNull(r.jobSha256), TextOrNull(r.value), TextOrNull(r.valueName),
                  TextOrNull(r.result), Integer(r.exitStatus), {r.record}},
                 error);
}

bool Spool::Pending(const std::string& store, int limit, std::vector<StoredRecord>& out,
                    std::string* error) {
  return db_.Run("SELECT record_id, time, station, port, job_sha256, value, value_name, result, "
                 "exit_status, record FROM spool WHERE store = ? ORDER BY rowid LIMIT ?",
                 {{store}, Integer(limit)}, error, [&out](const std::vector<std::string>& c) {
                   out.push_back({c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7],
                                  std::atoi(c[8].c_str()), c[9]});
                 });
}

bool Spool::Remove(const std::vector<StoredRecord>& records, std::string* error) {
  if (!db_.Exec("BEGIN IMMEDIATE", error)) return false;
  for (const StoredRecord& r : records) {
    if (!db_.Run("DELETE FROM spool WHERE record_id = ?", {{r.recordId}}, error)) {
      db_.Exec("ROLLBACK", nullptr);
      return false;
    }
  }
  if (db_.Exec("COMMIT", error)) return true;
  db_.Exec("ROLLBACK", nullptr);
  return false;
}

long Spool::Count(const std::string& store) {
  long count = -1;
  db_.Run("SELECT count(*) FROM spool WHERE store = ?", {{store}}, nullptr,
          [&count](const std::vector<std::string>& c) { count = std::atol(c[0].c_str()); });
  return count;
}

std::vector<std::string> Spool::Stores() {
  std::vector<std::string> stores;
  db_.Run("SELECT DISTINCT store FROM spool ORDER BY store", {}, nullptr,
          [&stores](const std::vector<std::string>& c) { stores.push_back(c[0]); });
  return stores;
}

bool FlushSpool(Spool& spool, RecordStore& store, const std::string& url, std::string* error,
                long* left) {
  bool ok = true;
  for (;;) {
    std::vector<StoredRecord> batch;
    if (!spool.Pending(url, kBatch, batch, error)) {
      ok = false;
      break;
    }
    if (batch.empty()) break;
    // Removed only after the store's commit: a crash between the two sends a record twice,
    // which its record_id makes harmless, and never loses one.
    if (!store.Insert(batch, error) || !spool.Remove(batch, error)) {
      ok = false;
      break;
    }
  }
  if (left != nullptr) *left = spool.Count(url);
  return ok;
}

RecordSender::RecordSender(std::string url, std::chrono::milliseconds retryEvery)
    : url_(std::move(url)), retryEvery_(retryEvery), store_(MakeRecordStore(url_)) {
  std::string error;
  spoolOk_ = spool_.Open(&error);
  if (!spoolOk_) {
    notices_.push_back("the spool cannot be written (" + error +
                       "); a record the store does not take at once is lost when quill-cli ends");
  }
  thread_ = std::thread([this] { Work(); });
}

RecordSender::~RecordSender() { Finish(); }

void RecordSender::Submit(StoredRecord record) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(record));
  }
  wake_.notify_one();
}

void RecordSender::Notice(std::string text) {
  std::lock_guard lock(mutex_);
  notices_.push_back(std::move(text));
}

std::optional<std::string> RecordSender::TakeNotice() {
  std::lock_guard lock(mutex_);
  if (notices_.empty()) return std::nullopt;
  std::string text;
  for (const std::string& notice : notices_) text += (text.empty() ? "" : "\n") + ("quill-cli: " + notice);
  notices_.clear();
  return text;
}

bool RecordSender::SendWaiting(std::string* error) {
  if (!spoolOk_) {
    if (unspooled_.empty()) return true;
    if (!store_->Insert(unspooled_, error)) return false;
    unspooled_.clear();
    return true;
  }
  return FlushSpool(spool_, *store_, url_, error, nullptr);
}

void RecordSender::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto due = [this] { return !queue_.empty() || stopping_; };
    if (waiting_ && retryEvery_.count() > 0) wake_.wait_for(lock, retryEvery_, due);
    else wake_.wait(lock, due);
    const bool fresh = !queue_.empty();
    // The last try at the end only when there is something new: the store that has just failed
    // is not waited for again.
    if (stopping_ && !fresh) break;
    std::deque<StoredRecord> taken;
    taken.swap(queue_);
    lock.unlock();
    for (StoredRecord& record : taken) {
      std::string error;
      if (spoolOk_ && spool_.Add(url_, record, &error)) continue;
      if (spoolOk_) {
        spoolOk_ = false;
        Notice("the spool cannot be written (" + error + "); records the store does not take "
               "at once are lost when quill-cli ends");
      }
      unspooled_.push_back(std::move(record));
    }
    std::string error;
    const bool sent = SendWaiting(&error);
    lock.lock();
    waiting_ = !sent;
    if (!sent && !storeFailed_) {
      storeFailed_ = true;
      notices_.push_back("the record store " + ShownUrl(url_) + " cannot be reached (" + error +
                         "); its records wait in the spool " + Spool::Path() +
                         " and are sent when it answers");
    }
  }
}

std::optional<std::string> RecordSender::Finish() {
  {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) return std::nullopt;
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
  std::string text;
  if (std::optional<std::string> notice = TakeNotice()) text = *notice + "\n";
  long left = 0;
  if (spoolOk_) left = waiting_ ? spool_.Count(url_) : 0;
  else left = static_cast<long>(unspooled_.size());
  if (left > 0) {
    text += "quill-cli: " + std::to_string(left) + (left == 1 ? " record waits" : " records wait") +
            (spoolOk_ ? " in the spool for " + ShownUrl(url_) + "; 'quill-cli records flush' sends them"
                      : " for " + ShownUrl(url_) + " and could not be kept");
  }
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace quill::records
