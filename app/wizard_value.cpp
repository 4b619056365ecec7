#include "app/wizard_value.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "kernels/sha256.h"
#include "link/results.h"
#include "progfile/address_field.h"
#include "progfile/program_image.h"
#include "resources/strings.h"

#include <nlohmann/json.hpp>

#include "records/board_value.h"
#include "records/record_sender.h"

namespace quill {

namespace {

// quill-cli's exit statuses for what its records say beyond the result's kind.
constexpr int kExitCannotOpen = 66, kExitUnavailable = 69, kExitNoKernel = 78;

}  // namespace

ValueSettingProblem CheckValueSettings(WizardState& state) {
  state.m_nReservedLength = 0;
  state.m_astrValueList.clear();
  const std::string store = WizardRecordStore(state);
  if (!store.empty()) {
    std::string error;
    const std::optional<records::StoreKind> kind = records::StoreKindOf(store, &error);
    if (kind && *kind == records::StoreKind::PostgreSql && !records::HasPostgreSql()) {
      error = "PostgreSQL is not in this build; accepted: sqlite:PATH";
    }
    if (!kind || !error.empty()) {
      return {ValueSettingProblem::Store,
              "The record store " + records::ShownUrl(store) + " (the settings' RecordStore, else " +
                  "QUILL_RECORDS) cannot be used: " + error};
    }
  }
  if (!state.m_nValueOn) return {};
  const std::optional<records::ValueFormat> format = records::ValueFormat::Parse(state.m_strValueFormat);
  if (!format) {
    return {ValueSettingProblem::Format, "'" + state.m_strValueFormat +
                                             "' is no format of a per-board value. Accepted: " +
                                             records::kValueFormats + "."};
  }
  state.m_strValueFormat = format->Name();
  if (state.m_strValueList.empty()) {
    const std::optional<uint64_t> from = records::ParseNumber(state.m_strValueFrom);
    if (!from || *from > format->Max()) {
      return {ValueSettingProblem::From,
              "The counter's start '" + state.m_strValueFrom + "' is no number that " +
                  format->Name() + " holds (decimal, or hexadecimal after 0x; at most " +
                  std::to_string(format->Max()) + ")."};
    }
    const std::optional<uint64_t> step = records::ParseNumber(state.m_strValueStep);
    if (!step || *step == 0) {
      return {ValueSettingProblem::Step, "The counter's step '" + state.m_strValueStep +
                                             "' is no number from 1 (decimal, or hexadecimal after 0x)."};
    }
  } else {
    if (!records::ReadValueList(state.m_strValueList, state.m_astrValueList)) {
      return {ValueSettingProblem::List, "The value list " + state.m_strValueList + " cannot be read."};
    }
    if (state.m_astrValueList.empty()) {
      return {ValueSettingProblem::List, "The value list " + state.m_strValueList + " holds no value."};
    }
  }
  state.m_dwReservedFirst = state.m_dwValueAddress;
  state.m_nReservedLength = format->Size();
  return {};
}

std::string CheckValuePlace(WizardState& state, bool everyBlock) {
  if (!state.m_nValueOn || state.m_nReservedLength == 0) return {};
  const ReservedPlace place = CheckReservedPlace(state, everyBlock);
  if (place.outcome == ReservedPlace::Inside) return {};
  return "The per-board value's " + std::to_string(state.m_nReservedLength) + " bytes at " +
         FormatAddressField(state.m_dwReservedFirst, true) + " " + ReservedPlaceProblem(place, state) +
         ".";
}

std::string WizardValueName(const WizardState& state) {
  if (!state.m_strValueName.empty()) return state.m_strValueName;
  return FormatAddressField(state.m_dwValueAddress, true) + ":" + state.m_strValueFormat;
}

std::string WizardRecordStore(const WizardState& state) {
  if (!state.m_strRecordStore.empty()) return state.m_strRecordStore;
  const char* env = std::getenv("QUILL_RECORDS");
  return env != nullptr ? std::string(env) : std::string();
}

std::shared_ptr<BoardValueSource> MakeWizardValueSource(const WizardState& state) {
  if (!state.m_nValueOn) return nullptr;
  const std::optional<records::ValueFormat> format = records::ValueFormat::Parse(state.m_strValueFormat);
  if (!format) return nullptr;
  records::ValueSource source;
  source.name = WizardValueName(state);
  source.format = *format;
  source.list = !state.m_strValueList.empty();
  source.values = state.m_astrValueList;
  source.from = records::ParseNumber(state.m_strValueFrom).value_or(0);
  source.step = records::ParseNumber(state.m_strValueStep).value_or(1);
  return records::MakeValueSource(state.m_dwValueAddress, WizardRecordStore(state), std::move(source));
}

WizardRecords::WizardRecords() = default;

WizardRecords::~WizardRecords() = default;

void WizardRecords::Started(const WizardState& state, ThreadCommand command) {
  m_job = state;
  m_command = command;
  m_bRunning = true;
  m_begin = std::chrono::steady_clock::now();
}

void WizardRecords::Ended(const Outcome& outcome, bool refused) {
  if (!m_bRunning) return;
  m_bRunning = false;
  const std::string url = WizardRecordStore(m_job);
  std::string error;
  const std::optional<records::StoreKind> kind = url.empty() ? std::nullopt : records::StoreKindOf(url, &error);
  if (!kind || (*kind == records::StoreKind::PostgreSql && !records::HasPostgreSql())) return;
  if (!m_sender || url != m_url) {
    // Started once: its thread spools each record and sends it while the wizard goes on.
    m_sender = std::make_unique<records::RecordSender>(url, std::chrono::seconds(10));
    m_url = url;
  }
  using nlohmann::json;
  auto textOrNull = [](const std::string& text) { return text.empty() ? json(nullptr) : json(text); };
  const Job& job = m_job;
  const char* operation = m_command == CmdBoot ? "boot" : m_command == CmdErase ? "erase" : "program";
  int32_t resultKind = outcome.result.kind;
  uint32_t detail = outcome.result.detail;
  int exitStatus = resultKind;
  std::string message;
  if (refused && !outcome.fileError.empty()) {
    resultKind = ErrorNone;
    detail = 0;
    exitStatus = kExitCannotOpen;
    message = outcome.fileError;
  } else if (!outcome.valueProblem.empty()) {
    exitStatus = kExitUnavailable;
    message = "no value for this board: " + outcome.valueProblem + "; nothing was sent";
  } else if (IsKernelRefusal(resultKind)) {
    exitStatus = kExitNoKernel;
    message = FormatErrorMessage(resultKind, detail);
  } else if (resultKind == ErrorNone) {
    message = LoadString(m_command == CmdBoot   ? StrId::BootDone
                         : m_command == CmdErase ? StrId::EraseDone
                                                 : StrId::ProgramDone);
  } else {
    message = FormatErrorMessage(resultKind, detail);
  }
  const bool success = resultKind == ErrorNone && exitStatus == 0;
  const std::string valueName = m_job.m_nValueOn && m_command != CmdErase ? WizardValueName(m_job) : "";
  records::StoredRecord stored;
  stored.recordId = records::NewUuid();
  stored.time = records::UtcNow();
  stored.station = m_job.m_strStation.empty() ? records::HostName() : m_job.m_strStation;
  stored.port = job.m_strComPort;
  stored.value = outcome.value;
  stored.valueName = valueName;
  stored.result = ResultName(resultKind, detail);
  stored.exitStatus = exitStatus;
  json record = {
      {"time", stored.time},
      {"operation", operation},
      {"port", job.m_strComPort},
      {"adapter_serial", nullptr},
      {"latency_ms", nullptr},
      {"device", job.m_strMCUType},
      {"mode", job.m_pDevice->modeCount > 1 ? json(LoadString(job.Mode().nameId)) : json(nullptr)},
      {"clock_range", m_command == CmdBoot ? json(LoadString(job.m_pClockRange->textId)) : json(nullptr)},
      {"rate", m_command == CmdBoot ? job.m_nComBootRate : job.m_nComUserRate},
      {"file", nullptr},
      {"file_sha256", nullptr},
      {"kernel_id", m_command == CmdBoot ? json(job.m_pClockRange->kernelId) : json(nullptr)},
      {"kernel_sha256", outcome.kernel ? json(outcome.kernel->sha256) : json(nullptr)},
      {"blocks", job.m_astrSelectedBlocks},
      {"bytes_inside", success && m_command != CmdErase ? outcome.counts.programmed : 0},
      {"bytes_outside", success && m_command != CmdErase ? outcome.counts.skipped : 0},
      {"seconds", std::chrono::duration<double>(std::chrono::steady_clock::now() - m_begin).count()},
      {"result", stored.result},
      {"error_kind", resultKind},
      {"detail", detail},
      {"message", message},
      {"exit_status", exitStatus},
      {"job", nullptr},
      {"job_sha256", nullptr},
      {"station", stored.station},
      {"value", textOrNull(stored.value)},
      {"value_name", textOrNull(valueName)},
      {"record_id", stored.recordId},
  };
  if (outcome.kernel) record["kernel_source"] = outcome.kernel->source;
  if (!outcome.linkProblem.empty()) record["port_problem"] = outcome.linkProblem;
  if (m_command != CmdErase) {
    // The file's hash as it is now, on the user-interface thread: a local file, read once more.
    record["file"] = job.m_strFile;
    record["file_sha256"] = textOrNull(Sha256OfFile(job.m_strFile));
    record["files"] = json::array({{{"path", job.m_strFile}, {"sha256", record["file_sha256"]}}});
  }
  stored.record = record.dump();
  m_sender->Submit(std::move(stored));
}

}  // namespace quill
