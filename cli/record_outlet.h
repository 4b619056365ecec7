// Where a run's board records go besides the --log file: the record store of --records (or
// QUILL_RECORDS), through the spool and a sender thread of its own, so the boards never wait for
// it. A build without PostgreSQL (Windows) refuses a PostgreSQL store with a usage error.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/json_output.h"
#include "options/options.h"

namespace quill::records {
class RecordSender;
}

namespace quill::cli {

class RecordOutlet {
 public:
  // The outlet of --records, or null when neither it nor QUILL_RECORDS is given. station: the
  // run is a station (records left waiting are tried again every 10 s). Throws UsageError for a
  // URL that names no store, or a store this build lacks.
  static std::unique_ptr<RecordOutlet> FromOptions(const Options& options, bool station);
  ~RecordOutlet();

  // The board's JSON record with station, value, value_name and record_id added, handed to the
  // sender.
  void Send(const nlohmann::json& record, const BoardRecord& board);
  // A line for standard error, once per thing to say.
  std::optional<std::string> TakeNotice();
  // The last records sent (or spooled), the sender stopped; what to say about records left.
  std::optional<std::string> Finish();

 private:
  RecordOutlet() = default;
  std::string station_;
  std::unique_ptr<records::RecordSender> sender_;
};

// The record as the store keeps it: the board's JSON record and the store's own fields.
nlohmann::json StoreRecordJson(nlohmann::json record, const std::string& station,
                               const BoardRecord& board, const std::string& recordId);

}  // namespace quill::cli
