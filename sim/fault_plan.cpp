#include "sim/fault_plan.h"

#include <charconv>
#include <utility>

namespace quill::sim {
namespace {

struct StepEntry {
  Step step;
  std::string_view name;
};
constexpr std::array<StepEntry, 9> kSteps = {{
    {Step::Sync, "sync"},
    {Step::Echo, "echo"},
    {Step::BootErase, "boot-erase"},
    {Step::BlockErase, "erase"},
    {Step::BlockEraseFinal, "erase-final"},
    {Step::ChunkCommand, "chunk-command"},
    {Step::ChunkAddress, "chunk-address"},
    {Step::ChunkData, "chunk-data"},
    {Step::ChunkChecksum, "checksum"},
}};

// A decimal or 0x-prefixed hexadecimal number within [0, limit].
bool ParseNumber(std::string_view text, long limit, long* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return false;
  long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (ec != std::errc() || end != text.data() + text.size() || v < 0 || v > limit) return false;
  *value = v;
  return true;
}

constexpr uint8_t kDefaultWrongByte = 0x5A;

// The byte a fault sends in place of `right`.
uint8_t FaultByte(const Fault& f, uint8_t right) {
  if (f.action == FaultAction::Fail) {
    if (f.step == Step::BootErase) return kEraseFailedReport;
    if (f.step == Step::BlockErase || f.step == Step::ChunkChecksum) return kNak;
  }
  if (f.byte >= 0) return static_cast<uint8_t>(f.byte);
  return f.step == Step::Echo ? static_cast<uint8_t>(~right) : kDefaultWrongByte;
}

}  // namespace

bool HostAccepts(Step step, uint8_t sent, uint8_t right) {
  switch (step) {
    case Step::Sync:
    case Step::BlockEraseFinal: return true;
    case Step::Echo: return sent == right;
    case Step::BootErase: return sent != kEraseFailedReport;
    case Step::BlockErase: return sent != kNak;
    case Step::ChunkCommand:
    case Step::ChunkChecksum: return sent == kAck;
    case Step::ChunkAddress:
    case Step::ChunkData: return sent == kGo;
  }
  return false;
}

FaultPlan::FaultPlan(std::vector<Fault> faults)
    : faults_(std::move(faults)), done_(faults_.size(), false) {}

Reply FaultPlan::Decide(Step step, long index, uint8_t right) {
  Reply r;
  r.step = step;
  r.index = index;
  r.byte = right;
  for (std::size_t i = 0; i < faults_.size(); ++i) {
    const Fault& f = faults_[i];
    if (done_[i] || f.step != step || f.index != index) continue;
    done_[i] = true;
    r.faulted = true;
    switch (f.action) {
      case FaultAction::Silent: r.kind = Reply::Kind::Silent; break;
      case FaultAction::HangUp: r.kind = Reply::Kind::HangUp; break;
      case FaultAction::Delay: r.delay = std::chrono::milliseconds(f.delayMs); break;
      case FaultAction::Fail:
      case FaultAction::WrongByte: r.byte = FaultByte(f, right); break;
    }
    break;
  }
  r.accepted = r.kind == Reply::Kind::Send && HostAccepts(step, r.byte, right);
  return r;
}

std::string_view StepName(Step step) {
  for (const StepEntry& e : kSteps)
    if (e.step == step) return e.name;
  return "?";
}

bool ParseFault(std::string_view text, Fault* fault, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = "bad fault \"" + std::string(text) + "\": " + why;
    return false;
  };
  Fault f;
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return fail("expected ACTION:STEP[:INDEX]");
  std::string_view action = text.substr(0, colon);
  std::string_view rest = text.substr(colon + 1);
  std::string_view argument;
  if (std::size_t eq = action.find('='); eq != std::string_view::npos) {
    argument = action.substr(eq + 1);
    action = action.substr(0, eq);
  }
  long value = 0;
  if (action == "silent") {
    f.action = FaultAction::Silent;
  } else if (action == "wrong") {
    f.action = FaultAction::WrongByte;
    if (!argument.empty()) {
      if (!ParseNumber(argument, 255, &value)) return fail("the byte must be 0..255");
      f.byte = static_cast<int>(value);
    }
  } else if (action == "fail") {
    f.action = FaultAction::Fail;
  } else if (action == "delay") {
    f.action = FaultAction::Delay;
    if (!ParseNumber(argument, 600000, &value)) return fail("delay needs =MILLISECONDS");
    f.delayMs = static_cast<int>(value);
  } else if (action == "hangup") {
    f.action = FaultAction::HangUp;
  } else {
    return fail("unknown action (silent, wrong[=BYTE], fail, delay=MS, hangup)");
  }
  if (!argument.empty() && f.action != FaultAction::WrongByte && f.action != FaultAction::Delay)
    return fail("only wrong and delay take a value");

  std::string_view stepName = rest;
  if (std::size_t c = rest.find(':'); c != std::string_view::npos) {
    stepName = rest.substr(0, c);
    if (!ParseNumber(rest.substr(c + 1), 0x7FFFFFFF, &value)) return fail("bad index");
    f.index = value;
  }
  bool found = false;
  for (const StepEntry& e : kSteps)
    if (e.name == stepName) {
      f.step = e.step;
      found = true;
    }
  if (!found)
    return fail("unknown step (sync, echo, boot-erase, erase, erase-final, chunk-command, "
                "chunk-address, chunk-data, checksum)");
  *fault = f;
  return true;
}

}  // namespace quill::sim
