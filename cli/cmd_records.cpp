// The record store on the command line: the outlet a run sends its board records to, and
// `quill-cli records` (the records listed from the store) and `records flush` (the spool sent).
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "cli/cli.h"
#include "cli/console.h"
#include "cli/record_outlet.h"
#include "kernels/sha256.h"

#include "records/record_sender.h"
#include "records/record_store.h"

namespace quill::cli {

namespace {

// The store's URL of the options (QUILL_RECORDS comes in as --records), checked; empty for none.
std::string StoreUrl(const Options& options) {
  const std::string* url = options.Value("--records");
  if (url == nullptr || url->empty()) return {};
  std::string error;
  const std::optional<records::StoreKind> kind = records::StoreKindOf(*url, &error);
  if (!kind) throw UsageError("--records: " + error);
  if (*kind == records::StoreKind::PostgreSql && !records::HasPostgreSql()) {
    throw UsageError("--records: PostgreSQL is not in this build; accepted: sqlite:PATH");
  }
  return *url;
}

}  // namespace

nlohmann::json StoreRecordJson(nlohmann::json record, const std::string& station,
                               const BoardRecord& board, const std::string& recordId) {
  auto textOrNull = [](const std::string& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
  };
  record["station"] = station;
  record["value"] = textOrNull(board.value);
  record["value_name"] = textOrNull(board.valueName);
  record["record_id"] = recordId;
  return record;
}

RecordOutlet::~RecordOutlet() { Finish(); }

std::unique_ptr<RecordOutlet> RecordOutlet::FromOptions(const Options& options, bool station) {
  const std::string url = StoreUrl(options);
  if (url.empty()) {
    if (options.Value("--station") != nullptr) {
      throw UsageError("--station names the station in the record store: it needs --records URL");
    }
    return nullptr;
  }
  std::unique_ptr<RecordOutlet> outlet(new RecordOutlet);
  if (const std::string* name = options.Value("--station")) {
    outlet->station_ = *name;
  } else {
    outlet->station_ = records::HostName();
  }
  using namespace std::chrono_literals;
  outlet->sender_ = std::make_unique<records::RecordSender>(url, station ? 10000ms : 0ms);
  return outlet;
}

void RecordOutlet::Send(const nlohmann::json& record, const BoardRecord& board) {
  records::StoredRecord stored;
  stored.recordId = records::NewUuid();
  stored.time = board.time;
  stored.station = station_;
  stored.port = board.port;
  stored.jobSha256 = board.jobSha256;
  stored.value = board.value;
  stored.valueName = board.valueName;
  stored.result = ResultName(board);
  stored.exitStatus = board.exitStatus;
  stored.record = JsonLine(StoreRecordJson(record, station_, board, stored.recordId));
  stored.record.pop_back();
  sender_->Submit(std::move(stored));
}

std::optional<std::string> RecordOutlet::TakeNotice() {
  return sender_ ? sender_->TakeNotice() : std::nullopt;
}

std::optional<std::string> RecordOutlet::Finish() {
  if (!sender_) return std::nullopt;
  std::optional<std::string> text = sender_->Finish();
  sender_.reset();
  return text;
}

namespace {

// ISO 8601 (a date, or a date and a time to the minute, second or millisecond, with Z or an
// offset; UTC when none) into the stored form, UTC to the millisecond.
std::string SinceTime(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0, consumed = 0;
  const char* p = text.c_str();
  auto bad = [&text]() -> std::string {
    throw UsageError("--since '" + text + "' is no time; accepted: ISO 8601, such as 2026-12-10, "
                     "2026-12-10T08:00, 2026-12-10T08:00:00Z or 2026-12-10T09:00:00+01:00 "
                     "(UTC when no zone is given)");
  };
  if (std::sscanf(p, "%4d-%2d-%2d%n", &y, &mo, &d, &consumed) != 3 || consumed != 10) return bad();
  p += consumed;
  if (*p == 'T' || *p == 't' || *p == ' ') {
    if (std::sscanf(p + 1, "%2d:%2d%n", &h, &mi, &consumed) != 2 || consumed != 5) return bad();
    p += 1 + consumed;
    if (*p == ':') {
      if (std::sscanf(p + 1, "%2d%n", &s, &consumed) != 1 || consumed != 2) return bad();
      p += 1 + consumed;
      if (*p == '.') {
        int digits = 0;
        for (++p; std::isdigit(static_cast<unsigned char>(*p)); ++p, ++digits) {
          if (digits < 3) ms = ms * 10 + (*p - '0');
        }
        if (digits == 0) return bad();
        for (; digits < 3; ++digits) ms *= 10;
      }
    }
  }
  long offset = 0;  // minutes east of UTC
  if (*p == 'Z' || *p == 'z') {
    ++p;
  } else if (*p == '+' || *p == '-') {
    int oh = 0, om = 0;
    if (std::sscanf(p + 1, "%2d:%2d%n", &oh, &om, &consumed) != 2 || consumed != 5) return bad();
    offset = (oh * 60 + om) * (*p == '-' ? -1 : 1);
    p += 1 + consumed;
  }
  if (*p != '\0' || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return bad();
  // Days since 1970-01-01 of the civil date (proleptic Gregorian).
  const int yy = y - (mo <= 2);
  const long era = (yy >= 0 ? yy : yy - 399) / 400;
  const long yoe = yy - era * 400;
  const long doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  const std::time_t seconds = static_cast<std::time_t>(days * 86400 + h * 3600 + mi * 60 + s - offset * 60);
  return records::UtcText(seconds, ms);
}

bool IsSha256(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string ResultText(const records::StoredRecord& r) {
  return r.exitStatus == kExitSuccess ? r.result
                                      : "failed (" + std::to_string(r.exitStatus) + "): " + r.result;
}

void PrintTable(const std::vector<records::StoredRecord>& rows) {
  std::vector<std::array<std::string, 6>> lines = {{"time", "station", "port", "result", "value", "job"}};
  for (const records::StoredRecord& r : rows) {
    lines.push_back({r.time, r.station, r.port, ResultText(r), r.value, r.jobSha256.substr(0, 12)});
  }
  std::array<std::size_t, 6> width{};
  for (const auto& line : lines) {
    for (std::size_t c = 0; c < line.size(); ++c) width[c] = std::max(width[c], line[c].size());
  }
  for (const auto& line : lines) {
    std::string text;
    for (std::size_t c = 0; c < line.size(); ++c) {
      text += line[c] + (c + 1 < line.size() ? std::string(width[c] - line[c].size() + 2, ' ') : "");
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::cout << text << '\n';
  }
}

int ListRecords(const Options& options, const std::string& url) {
  if (options.Has("--json") && options.Has("--csv")) {
    throw UsageError("--json and --csv: give one of them");
  }
  records::RecordFilter filter;
  if (const std::string* job = options.Value("--job")) {
    if (IsSha256(*job)) {
      filter.jobSha256 = *job;
    } else {
      filter.jobSha256 = Sha256OfFile(*job);
      if (filter.jobSha256.empty()) {
        std::cerr << "quill-cli: the job '" << *job << "' cannot be opened\n";
        return kExitCannotOpen;
      }
    }
  }
  if (const std::string* value = options.Value("--value")) filter.value = *value;
  if (const std::string* port = options.Value("--port")) filter.port = *port;
  if (const std::string* since = options.Value("--since")) filter.since = SinceTime(*since);
  std::unique_ptr<records::RecordStore> store = records::MakeRecordStore(url);
  std::vector<records::StoredRecord> rows;
  std::string error;
  if (!store->Query(filter, rows, &error)) {
    std::cerr << "quill-cli: the record store " << records::ShownUrl(url) << " cannot be read: " << error << '\n';
    return kExitUnavailable;
  }
  if (options.Has("--json")) {
    for (const records::StoredRecord& r : rows) {
      // One form whatever the store: PostgreSQL's jsonb keeps no key order of its own.
      std::cout << JsonLine(nlohmann::json::parse(r.record, nullptr, false));
    }
  } else if (options.Has("--csv")) {
    std::cout << "record_id,time,station,port,job_sha256,value,value_name,result,exit_status\r\n";
    for (const records::StoredRecord& r : rows) {
      for (const std::string& field : {r.recordId, r.time, r.station, r.port, r.jobSha256, r.value,
                                       r.valueName, r.result}) {
        std::cout << CsvField(field) << ',';
      }
      std::cout << r.exitStatus << "\r\n";
    }
  } else {
    PrintTable(rows);
  }
  return kExitSuccess;
}

// Sends the spool's records of the store (of every store with none given): 0 when none waits
// afterwards, 69 when a store cannot be reached.
int Flush(const std::string& url) {
  records::Spool spool;
  std::string error;
  if (!spool.Open(&error)) {
    std::cerr << "quill-cli: " << error << '\n';
    return kExitUnavailable;
  }
  const std::vector<std::string> stores = url.empty() ? spool.Stores() : std::vector<std::string>{url};
  int status = kExitSuccess;
  for (const std::string& target : stores) {
    if (!records::StoreKindOf(target, nullptr) ||
        (records::StoreKindOf(target, nullptr) == records::StoreKind::PostgreSql &&
         !records::HasPostgreSql())) {
      continue;
    }
    std::unique_ptr<records::RecordStore> store = records::MakeRecordStore(target);
    long left = 0;
    if (!records::FlushSpool(spool, *store, target, &error, &left)) {
      std::cerr << "quill-cli: the record store " << records::ShownUrl(target)
                << " cannot be reached (" << error << "); " << left << " records wait in the spool\n";
      status = kExitUnavailable;
    }
  }
  return status;
}

}  // namespace

int RunRecords(const std::vector<std::string>& args) {
  const Options options =
      ParseOptions("records", args,
                   {{"--records", true}, {"--job", true}, {"--value", true}, {"--port", true},
                    {"--since", true}, {"--json", false}, {"--csv", false}});
  const bool flush = !options.positional.empty() && options.positional.front() == "flush";
  if (options.positional.size() > (flush ? 1u : 0u)) {
    throw UsageError("unexpected argument '" + options.positional[flush ? 1 : 0] +
                     "'; records takes no operand but flush");
  }
  const std::string url = StoreUrl(options);
  if (flush) {
    for (const char* name : {"--job", "--value", "--port", "--since", "--json", "--csv"}) {
      if (options.Has(name)) throw UsageError(std::string(name) + ": records flush takes only --records");
    }
    return Flush(url);
  }
  if (url.empty()) {
    throw UsageError("--records is required: the record store to read (sqlite:PATH or a "
                     "PostgreSQL URI), or QUILL_RECORDS");
  }
  return ListRecords(options, url);
}

}  // namespace quill::cli
