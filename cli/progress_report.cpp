// The progress line and the byte trace of quill-cli's runs.
#include "cli/progress_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cli/console.h"
#include "link/results.h"
#include "resources/strings.h"

namespace quill::cli {

ThreadCommand CommandOf(LinkOp op) {
  switch (op) {
    case LinkOp::Boot: return CmdBoot;
    case LinkOp::Program: return CmdProgram;
    case LinkOp::Erase: return CmdErase;
  }
  return CmdNone;
}

// The messages have several lines; each gets the prefix.
void WriteLines(Stream stream, const std::string& prefix, const std::string& text) {
  std::string out;
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t end = text.find('\n', from);
    out += prefix + text.substr(from, end == std::string::npos ? std::string::npos : end - from) + '\n';
    if (end == std::string::npos || end + 1 == text.size()) break;
    from = end + 1;
  }
  if (stream == Stream::Err) return WriteStderr(out);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

void StderrTrace::Trace(TraceKind kind, const uint8_t* data, std::size_t length) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start_)
                      .count();
  char head[32];
  const bool out = kind == TraceKind::Written || kind == TraceKind::WriteFailed;
  std::snprintf(head, sizeof head, "%8lld ms %c", static_cast<long long>(ms), out ? '>' : '<');
  std::string line = prefix_ + head;
  char hex[4];
  for (std::size_t i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, " %02X", data[i]);
    line += hex;
  }
  if (kind == TraceKind::WriteFailed) line += " (write failed)";
  if (kind == TraceKind::ReadTimeout) line += " (read timeout, 1000 ms)";
  if (kind == TraceKind::ReadFailed) line += " (read failed)";
  line += '\n';
  // One write a line, so the lines of boards traced at once never mix.
  WriteStderr(line);
}

void ProgressReport::Update(int32_t phase, int32_t pos, int32_t range) {
  if (style_ == ProgressStyle::Off) return;
  const int percent =
      range > 0 ? static_cast<int>(std::clamp<int64_t>(int64_t{pos} * 100 / range, 0, 100)) : 0;
  const bool newPhase = phase != lastPhase_;
  if (newPhase) {
    lastPhase_ = phase;
    phaseStart_ = Clock::now();
    phaseStartPos_ = pos;
    const uint32_t id = StatusTextId(CommandOf(op_), phase);
    status_ = id ? LoadString(id) : std::string();
  }
  if (status_.empty()) return;  // a phase the pages show no text for
  if (style_ == ProgressStyle::Lines) {
    if (!newPhase && percent / 10 <= lastDecile_) return;
    lastDecile_ = percent / 10;
    WriteLines(Stream::Err, prefix_, status_ + " " + std::to_string(percent) + "%");
    return;
  }
  const std::string left = TimeLeft(pos, range);
  if (drawn_ && !newPhase && percent == lastPercent_ && left == lastLeft_) return;
  lastPercent_ = percent;
  lastLeft_ = left;
  DrawBar(percent, left);
}

void ProgressReport::Finish(bool completed) {
  if (completed && !status_.empty()) {
    if (style_ == ProgressStyle::Lines && lastDecile_ < 10) {
      lastDecile_ = 10;
      WriteLines(Stream::Err, prefix_, status_ + " 100%");
    } else if (style_ == ProgressStyle::Bar && lastPercent_ < 100) {
      DrawBar(100, std::string());
    }
  }
  if (drawn_) WriteStderr("\n");
  drawn_ = false;
}

std::string ProgressReport::TimeLeft(int32_t pos, int32_t range) const {
  const double elapsed = std::chrono::duration<double>(Clock::now() - phaseStart_).count();
  if (elapsed < 1.0 || pos <= phaseStartPos_ || range <= pos) return {};
  const double rate = (pos - phaseStartPos_) / elapsed;
  const long seconds = std::lround((range - pos) / rate);
  char text[32];
  std::snprintf(text, sizeof text, " %ld:%02ld left", seconds / 60, seconds % 60);
  return text;
}

void ProgressReport::DrawBar(int percent, const std::string& left) {
  constexpr int kBar = 20;
  std::string bar(kBar, '-');
  for (int i = 0; i < percent * kBar / 100; ++i) bar[i] = '#';
  char tail[64];
  std::snprintf(tail, sizeof tail, " [%s] %3d%%%s", bar.c_str(), percent, left.c_str());
  const int width = TerminalColumns();
  std::string text = status_;
  const std::size_t room = width > 50 ? static_cast<std::size_t>(width) - 1 - std::strlen(tail) : 0;
  if (text.size() > room) text = room > 3 ? text.substr(0, room - 3) + "..." : std::string();
  const std::string line = "\r" + text + tail + "\033[K";
  WriteStderr(line);
  drawn_ = true;
}

}  // namespace quill::cli
