// quill-cli's machine-readable output: one JSON object per board result (printed and appended to
// the --log file as one line each) and the documents of devices, check and ports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/port_list.h"

namespace quill::cli {

// What one board's run did, for the record a production line keeps.
struct BoardRecord {
  std::string time;           // when the result came, UTC, ISO 8601
  std::string operation;      // boot, program or erase
  std::string port;
  std::string adapterSerial;  // the USB adapter's serial number; empty when not known
  int latencyMs = -1;         // the adapter's latency timer as the board started; -1 for none
  std::string device, mode;   // mode empty for a device with a single mode
  std::string clockRange;     // boot: the range's label
  int32_t rate = 0;
  std::string file, fileSha256;  // boot and program: the first program file
  // Every program file of the run, in order: path and SHA-256 (with the base of a binary file).
  struct File {
    std::string path, sha256;
    std::optional<uint32_t> binaryBase;
  };
  std::vector<File> files;
  std::string kernelSource;  // boot: the installed kernel's file, or "built-in stand-in"
  std::optional<uint32_t> kernelId;
  std::string kernelSha256;
  std::vector<std::string> blocks;
  uint32_t bytesInside = 0, bytesOutside = 0;
  double seconds = 0;
  int32_t kind = 0;  // the ErrorKind
  uint32_t detail = 0;
  std::string message;      // the result page's text
  std::string portProblem;  // why the port did not open, when it did not
  std::string job, jobSha256;  // the job file the run came from, and its SHA-256; empty for none
  std::string value, valueName;  // the board's own value and its name; empty for none
  int exitStatus = 0;
};

struct BoardRecord;

// The short name of an ErrorKind ("success" for none), as the records carry it.
std::string ResultName(int32_t kind);
// The record's result: its kind's name, or value_unavailable for a board refused for want of its
// own value.
std::string ResultName(const BoardRecord& record);

nlohmann::json ToJson(const BoardRecord& record);
nlohmann::json DevicesJson();
struct FileCheck;
// The document of check --json.
nlohmann::json CheckJson(const FileCheck& check);
nlohmann::json PortsJson(const PortListing& listing);

// One compact line with its line feed: a record of the --log file or of standard output.
std::string JsonLine(const nlohmann::json& value);

// The current time in UTC, ISO 8601 to the millisecond.
std::string UtcTimestamp();

// The --log file: opened for appending (created when missing, never truncated); each record is
// one write, so lines of processes logging into the same file do not interleave.
class JsonLog {
 public:
  JsonLog() = default;
  ~JsonLog();
  JsonLog(const JsonLog&) = delete;
  JsonLog& operator=(const JsonLog&) = delete;

  // False with the system's reason in *error.
  bool Open(const std::string& path, std::string* error);
  bool IsOpen() const { return fd_ >= 0; }
  // False when the line could not be written whole.
  bool Append(const nlohmann::json& record);

 private:
  int fd_ = -1;
};

}  // namespace quill::cli
