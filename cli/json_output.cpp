#include "cli/json_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "device/catalogue.h"
#include "records/record_store.h"
#include "link/results.h"
#include "resources/strings.h"

namespace quill::cli {

std::string ResultName(int32_t kind) { return quill::ResultName(kind); }

std::string ResultName(const BoardRecord& record) { return quill::ResultName(record.kind, record.detail); }

nlohmann::json ToJson(const BoardRecord& r) {
  using nlohmann::json;
  auto textOrNull = [](const std::string& text) { return text.empty() ? json(nullptr) : json(text); };
  json record = {
      {"time", r.time},
      {"operation", r.operation},
      {"port", r.port},
      {"adapter_serial", textOrNull(r.adapterSerial)},
      {"latency_ms", r.latencyMs >= 0 ? json(r.latencyMs) : json(nullptr)},
      {"device", r.device},
      {"mode", textOrNull(r.mode)},
      {"clock_range", textOrNull(r.clockRange)},
      {"rate", r.rate},
      {"file", textOrNull(r.file)},
      {"file_sha256", textOrNull(r.fileSha256)},
      {"kernel_id", r.kernelId ? json(*r.kernelId) : json(nullptr)},
      {"kernel_sha256", textOrNull(r.kernelSha256)},
      {"blocks", r.blocks},
      {"bytes_inside", r.bytesInside},
      {"bytes_outside", r.bytesOutside},
      {"seconds", r.seconds},
      {"result", ResultName(r)},
      {"error_kind", r.kind},
      {"detail", r.detail},
      {"message", r.message},
      {"exit_status", r.exitStatus},
      {"job", textOrNull(r.job)},
      {"job_sha256", textOrNull(r.jobSha256)},
  };
  if (!r.portProblem.empty()) record["port_problem"] = r.portProblem;
  if (!r.valueName.empty()) {
    record["value"] = textOrNull(r.value);
    record["value_name"] = r.valueName;
  }
  if (!r.kernelSource.empty()) record["kernel_source"] = r.kernelSource;
  json files = json::array();
  for (const BoardRecord::File& f : r.files) {
    json file = {{"path", f.path}, {"sha256", textOrNull(f.sha256)}};
    if (f.binaryBase) file["binary_address"] = *f.binaryBase;
    files.push_back(file);
  }
  if (!r.files.empty()) record["files"] = files;
  return record;
}

nlohmann::json DevicesJson() {
  using nlohmann::json;
  json devices = json::array();
  for (int d = 0; d < GetDeviceCount(); ++d) {
    const DeviceType& device = *GetDevice(d);
    json modes = json::array();
    for (int m = 0; m < device.modeCount; ++m) {
      json blocks = json::array();
      const FlashBlock* map = device.GetBlocks(m);
      for (int b = 0; b < device.GetBlockCount(m); ++b) {
        blocks.push_back({{"name", map[b].name}, {"start", map[b].start}, {"end", map[b].end}});
      }
      json ranges = json::array();
      const ClockRange* clock = device.GetClockRanges(m);
      for (int c = 0; c < device.GetClockRangeCount(m); ++c) {
        ranges.push_back({{"index", c},
                          {"label", LoadString(clock[c].textId)},
                          {"kernel_id", clock[c].kernelId},
                          {"boot_rates", std::vector<uint32_t>(clock[c].bootRates,
                                                               clock[c].bootRates + clock[c].bootRateCount)}});
      }
      modes.push_back({{"name", device.modeCount > 1 ? json(LoadString(device.modes[m].nameId)) : json(nullptr)},
                       {"flash_lowest", device.GetFlashLowest(m)},
                       {"flash_highest", device.GetFlashHighest(m)},
                       {"blocks", blocks},
                       {"clock_ranges", ranges}});
    }
    devices.push_back({{"name", device.GetName()}, {"modes", modes}});
  }
  std::vector<uint32_t> rates;
  for (int i = 0; i < GetUserDataRateCount(); ++i) rates.push_back(GetUserDataRate(i));
  return {{"devices", devices}, {"user_rates", rates}};
}

nlohmann::json PortsJson(const PortListing& listing) {
  using nlohmann::json;
  auto accessName = [](PortAccess access) {
    switch (access) {
      case PortAccess::Free:
        return "free";
      case PortAccess::Busy:
        return "busy";
      case PortAccess::NoPermission:
        return "no_permission";
      case PortAccess::Missing:
      case PortAccess::Unavailable:
        break;
      case PortAccess::Unknown:
        return "unknown";
    }
    return "unavailable";
  };
  auto textOrNull = [](const std::string& text) { return text.empty() ? json(nullptr) : json(text); };
  json ports = json::array();
  for (const SerialPortInfo& port : listing.ports) {
    json entry = {{"path", port.path},
                  {"by_id", textOrNull(port.byId)},
                  {"usb", nullptr},
                  {"simulated", nullptr},
                  {"latency_ms", port.latencyMs >= 0 ? json(port.latencyMs) : json(nullptr)},
                  {"access", accessName(port.access)},
                  {"reason", textOrNull(port.reason)}};
    if (port.usb) {
      entry["usb"] = {{"vendor_id", port.vendorId},       {"product_id", port.productId},
                      {"manufacturer", port.manufacturer}, {"product", port.product},
                      {"serial", port.serial}};
    }
    if (port.simulated) {
      entry["simulated"] = {{"device", port.simDevice}, {"mode", textOrNull(port.simMode)},
                            {"clock_range", port.simClock}};
    }
    ports.push_back(entry);
  }
  return {{"ports", ports}, {"warnings", listing.warnings}};
}

std::string JsonLine(const nlohmann::json& value) {
  // Invalid UTF-8 in a path or an adapter's strings is replaced rather than refused: the record
  // of a board must always be written.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

std::string UtcTimestamp() { return records::UtcNow(); }

JsonLog::~JsonLog() {
  if (fd_ >= 0) ::close(fd_);
}

bool JsonLog::Open(const std::string& path, std::string* error) {
#ifdef _WIN32
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_BINARY, 0644);
#else
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
#endif
  if (fd_ < 0 && error) *error = std::strerror(errno);
  return fd_ >= 0;
}

bool JsonLog::Append(const nlohmann::json& record) {
  const std::string line = JsonLine(record);
  if (fd_ < 0) return false;
  ssize_t n;
  do {
    n = ::write(fd_, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(line.size());
}

}  // namespace quill::cli
