#include "cli/job_file.h"

#include "link/control_lines.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "kernels/sha256.h"
#include "resources/strings.h"

namespace quill::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A file's path as the job stores it: relative to the job's folder, with forward slashes, so a
// job and its files move together (and between systems); absolute where no relative path leads
// there (another drive).
std::string StoredPath(const std::string& file, const std::string& jobPath) {
  const fs::path target = fs::absolute(file).lexically_normal();
  const fs::path folder = fs::absolute(jobPath).parent_path().lexically_normal();
  const fs::path relative = target.lexically_relative(folder);
  return (relative.empty() ? target : relative).generic_string();
}

// The job's per-board value: where and how it is written and where it comes from (the list's
// path relative to the job's folder, as the files'); null without one.
json ValueJson(const LinkJob& job, const std::string& jobPath) {
  if (!job.value) return nullptr;
  const ValueSetting& v = *job.value;
  return {{"address", v.address},
          {"format", v.format},
          {"from", v.from ? json(*v.from) : json(nullptr)},
          {"step", v.from ? json(v.step) : json(nullptr)},
          {"list", v.list.empty() ? json(nullptr) : json(StoredPath(v.list, jobPath))},
          {"name", v.name.empty() ? json(nullptr) : json(v.name)}};
}

// Automatic Mode as the job keeps it: {"vpp", "mode", "delay_ms"} (mode "!rts" for an inverted
// Mode line), or null when a person sets the switches.
json AutomaticJson(const Job& s) {
  LineMap map;
  if (!s.m_bAutomatic || !ParseLineMap(s.m_strLineMap, &map, nullptr)) return nullptr;
  return {{"vpp", LineName(map.vpp)},
          {"mode", std::string(map.modeInverted ? "!" : "") + LineName(map.mode)},
          {"delay_ms", s.m_nLineDelayMs}};
}

json JobJson(const LinkJob& job, const std::string& jobPath) {
  const Job& s = job.state;
  const bool window = job.op != LinkOp::Erase;
  json files = json::array();
  for (const ProgramFile& file : job.files) {
    files.push_back({{"path", StoredPath(file.path, jobPath)},
                     {"sha256", Sha256OfFile(file.path)},
                     {"binary_address", file.format == FileFormat::Binary ? json(file.base) : json(nullptr)}});
  }
  return {
      {"quill_job", kJobVersion},
      {"command", OperationName(job.op)},
      {"device", s.m_strMCUType},
      {"mode", s.m_pDevice->modeCount > 1 ? json(LoadString(s.Mode().nameId)) : json(nullptr)},
      {"clock", job.op == LinkOp::Boot ? json(s.m_nClockSpeed) : json(nullptr)},
      {"rate", job.op == LinkOp::Boot ? s.m_nComBootRate : s.m_nComUserRate},
      {"files", files},
      {"offset", window ? json(s.m_dwOffset) : json(nullptr)},
      {"lowest", window ? json(s.m_dwLowest) : json(nullptr)},
      {"highest", window ? json(s.m_dwHighest) : json(nullptr)},
      {"blocks", job.blocksGiven ? json(s.m_astrSelectedBlocks) : json(nullptr)},
      {"erase", job.erase},
      {"value", ValueJson(job, jobPath)},
      {"automatic", AutomaticJson(s)},
  };
}

bool WriteWhole(const std::string& path, const std::string& text, std::string* error) {
  const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
  auto fail = [&](const std::string& what, int code) {
    if (error) *error = what + ": " + std::strerror(code);
    std::remove(temporary.c_str());
    return false;
  };
#ifdef _WIN32
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) return fail("write " + temporary, errno);
  }
#else
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail("create " + temporary, errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int code = errno;
      ::close(fd);
      return fail("write " + temporary, code);
    }
    done += static_cast<std::size_t>(n);
  }
  // On the disk before the rename makes it the job: a crash leaves the old job or the new one.
  if (::fsync(fd) != 0) {
    const int code = errno;
    ::close(fd);
    return fail("write " + temporary, code);
  }
  ::close(fd);
#endif
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) return fail("rename to " + path, ec.value());
#ifndef _WIN32
  const std::string folder = fs::path(path).parent_path().string();
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
#endif
  return true;
}

// The field's value, or a usage error naming the field and what it must be.
[[noreturn]] void Bad(const std::string& path, const std::string& field, const std::string& what) {
  throw UsageError("the job '" + path + "': \"" + field + "\" must be " + what);
}

const json& Field(const json& root, const std::string& path, const char* name) {
  const auto it = root.find(name);
  if (it == root.end()) throw UsageError("the job '" + path + "' has no \"" + name + "\"");
  return *it;
}

uint32_t Address(const json& value, const std::string& path, const char* name) {
  if (!value.is_number_unsigned() || value.get<uint64_t>() > 0xFFFFFFFFu) {
    Bad(path, name, "an address from 0 to 4294967295");
  }
  return value.get<uint32_t>();
}

std::string HexArgument(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

bool IsSha256(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

bool SaveJobFile(const std::string& path, const LinkJob& job, std::string* error) {
  return WriteWhole(path, JobJson(job, path).dump(2) + "\n", error);
}

namespace {

// The job's command and line settings, as the options the command line would have given.
void ReadSettings(const json& root, const std::string& path, JobFile& job) {
  const json& command = Field(root, path, "command");
  if (command == "boot") job.op = LinkOp::Boot;
  else if (command == "program") job.op = LinkOp::Program;
  else if (command == "erase") job.op = LinkOp::Erase;
  else Bad(path, "command", "boot, program or erase");

  Options& o = job.options;
  const json& device = Field(root, path, "device");
  if (!device.is_string()) Bad(path, "device", "a device name");
  o.values["--device"] = device.get<std::string>();
  const json& mode = Field(root, path, "mode");
  if (mode.is_string()) o.values["--mode"] = mode.get<std::string>();
  else if (!mode.is_null()) Bad(path, "mode", "a mode name, or null for a device with one mode");
  const json& clock = Field(root, path, "clock");
  if (job.op == LinkOp::Boot) {
    if (!clock.is_number_unsigned()) Bad(path, "clock", "the clock-range index");
    o.values["--clock"] = std::to_string(clock.get<uint64_t>());
  } else if (!clock.is_null()) {
    Bad(path, "clock", "null for program and erase");
  }
  const json& rate = Field(root, path, "rate");
  if (!rate.is_number_unsigned()) Bad(path, "rate", "a data rate in bps");
  o.values["--baud"] = std::to_string(rate.get<uint64_t>());
}

// The job's files, each resolved against the job's folder, as FILE operands.
void ReadFiles(const json& root, const std::string& path, JobFile& job) {
  Options& o = job.options;
  const json& files = Field(root, path, "files");
  if (!files.is_array()) Bad(path, "files", "a list");
  const fs::path folder = fs::path(path).parent_path();
  for (const json& file : files) {
    if (!file.is_object()) Bad(path, "files", "a list of {\"path\", \"sha256\", \"binary_address\"}");
    const json& p = Field(file, path, "path");
    const json& sha = Field(file, path, "sha256");
    const json& base = Field(file, path, "binary_address");
    if (!p.is_string() || p.get<std::string>().empty()) Bad(path, "path", "a file's path");
    if (!sha.is_string() || !IsSha256(sha.get<std::string>())) Bad(path, "sha256", "64 hexadecimal digits");
    const fs::path stored(p.get<std::string>());
    // Lexically, as the path was made relative when the job was saved.
    const std::string resolved = stored.is_absolute() || folder.empty()
                                     ? stored.string()
                                     : (folder / stored).lexically_normal().string();
    if (!base.is_null()) {
      o.positional.push_back(kBinaryOption.name);
      o.positional.push_back(HexArgument(Address(base, path, "binary_address")));
    }
    o.positional.push_back(resolved);
    job.files.push_back({resolved, sha.get<std::string>()});
  }
  if (job.op == LinkOp::Erase ? !files.empty() : files.empty()) {
    Bad(path, "files", job.op == LinkOp::Erase ? "empty for erase" : "at least one file");
  }
}

// The address window, the blocks and whether they are erased first.
void ReadWindowAndBlocks(const json& root, const std::string& path, JobFile& job) {
  Options& o = job.options;
  for (const char* name : {"offset", "lowest", "highest"}) {
    const json& value = Field(root, path, name);
    if (job.op != LinkOp::Erase) o.values[std::string("--") + name] = HexArgument(Address(value, path, name));
    else if (!value.is_null()) Bad(path, name, "null for erase");
  }
  const json& blocks = Field(root, path, "blocks");
  if (blocks.is_array()) {
    std::string list;
    for (const json& name : blocks) {
      if (!name.is_string()) Bad(path, "blocks", "a list of block names, or null");
      list += (list.empty() ? "" : ",") + name.get<std::string>();
    }
    o.values["--blocks"] = list;
  } else if (!blocks.is_null() || job.op == LinkOp::Erase) {
    Bad(path, "blocks", job.op == LinkOp::Erase ? "the list of blocks to erase" : "a list of block names, or null");
  }
  const json& erase = Field(root, path, "erase");
  if (!erase.is_boolean()) Bad(path, "erase", "true or false");
  if (!erase.get<bool>()) {
    if (job.op != LinkOp::Program) Bad(path, "erase", "true for boot and erase");
    o.flags.insert("--no-erase");
  }
}

// The per-board value, as --value and its source would give it. A job saved before values
// existed has no "value": none.
void ReadValue(const json& root, const std::string& path, JobFile& job) {
  const auto it = root.find("value");
  if (it == root.end() || it->is_null()) return;
  const json& v = *it;
  if (!v.is_object() || job.op == LinkOp::Erase) Bad(path, "value", "null, or for boot and program {\"address\", \"format\", \"from\", \"step\", \"list\", \"name\"}");
  Options& o = job.options;
  const json& format = Field(v, path, "format");
  if (!format.is_string()) Bad(path, "format", "a value format");
  o.values["--value"] = HexArgument(Address(Field(v, path, "address"), path, "address")) + ":" +
                        format.get<std::string>();
  const json& from = Field(v, path, "from");
  const json& step = Field(v, path, "step");
  const json& list = Field(v, path, "list");
  const json& name = Field(v, path, "name");
  if (from.is_number_unsigned()) {
    if (!step.is_number_unsigned()) Bad(path, "step", "the counter's step");
    o.values["--value-from"] = std::to_string(from.get<uint64_t>()) + ":" + std::to_string(step.get<uint64_t>());
  } else if (!from.is_null()) {
    Bad(path, "from", "the counter's start, or null");
  }
  if (list.is_string()) {
    const fs::path stored(list.get<std::string>());
    const fs::path folder = fs::path(path).parent_path();
    o.values["--value-list"] = stored.is_absolute() || folder.empty()
                                   ? stored.string()
                                   : (folder / stored).lexically_normal().string();
  } else if (!list.is_null()) {
    Bad(path, "list", "the list file's path, or null");
  }
  if (name.is_string()) o.values["--value-name"] = name.get<std::string>();
  else if (!name.is_null()) Bad(path, "name", "the value's name, or null");
}

// Automatic Mode, as --automatic, --lines and --line-delay would give it. A job saved before
// Automatic Mode existed has no "automatic": a person sets the switches.
void ReadAutomatic(const json& root, const std::string& path, JobFile& job) {
  const auto it = root.find("automatic");
  if (it == root.end() || it->is_null()) return;
  const json& a = *it;
  const char* accepted = "null, or {\"vpp\": \"dtr\", \"mode\": \"rts\", \"delay_ms\": 100}";
  if (!a.is_object()) Bad(path, "automatic", accepted);
  const json& vpp = Field(a, path, "vpp");
  const json& mode = Field(a, path, "mode");
  const json& delay = Field(a, path, "delay_ms");
  if (!vpp.is_string() || !mode.is_string()) Bad(path, "automatic", accepted);
  if (!delay.is_number_unsigned()) Bad(path, "delay_ms", "the settling time in milliseconds");
  Options& o = job.options;
  o.flags.insert("--automatic");
  o.values["--lines"] = "vpp=" + vpp.get<std::string>() + ",mode=" + mode.get<std::string>();
  o.values["--line-delay"] = std::to_string(delay.get<uint64_t>());
}

}  // namespace

int LoadJobFile(const std::string& path, JobFile& job) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "quill-cli: the job '" << path << "' cannot be opened: " << std::strerror(errno) << '\n';
    return kExitCannotOpen;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  job.origin.path = path;
  job.origin.sha256 = Sha256Hex(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  const json root = json::parse(bytes, nullptr, false);
  if (root.is_discarded() || !root.is_object()) {
    throw UsageError("the job '" + path + "' is not a job file (a JSON object with \"quill_job\": " +
                     std::to_string(kJobVersion) + ")");
  }
  const auto version = root.find("quill_job");
  if (version == root.end() || !version->is_number_integer() || *version != kJobVersion) {
    throw UsageError("the job '" + path + "' is not a job of this version (\"quill_job\": " +
                     std::to_string(kJobVersion) + ")");
  }
  ReadSettings(root, path, job);
  ReadFiles(root, path, job);
  ReadWindowAndBlocks(root, path, job);
  ReadValue(root, path, job);
  ReadAutomatic(root, path, job);
  return kExitSuccess;
}

int VerifyJobFiles(const JobFile& job) {
  for (const JobFile::File& file : job.files) {
    const std::string sha = Sha256OfFile(file.path);
    if (sha.empty()) {
      std::ifstream probe(file.path, std::ios::binary);
      const int code = errno;
      std::cerr << "quill-cli: " << file.path << " cannot be opened: "
                << (probe ? "it cannot be read" : std::strerror(code)) << '\n';
      return kExitCannotOpen;
    }
    if (sha != file.sha256) {
      std::cerr << "quill-cli: " << file.path << " changed since the job '" << job.origin.path
                << "' was saved (SHA-256 " << sha << ", the job's " << file.sha256
                << "); nothing was sent\n";
      return kExitInvalidFile;
    }
  }
  return kExitSuccess;
}

}  // namespace quill::cli
