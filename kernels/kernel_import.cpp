#include "kernels/kernel_import.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "kernels/kernel_store.h"
#include "kernels/pe_resources.h"
#include "kernels/sha256.h"

namespace quill {
namespace {

namespace fs = std::filesystem;

// A module larger than this is no program that carries kernels; it is not read into memory.
constexpr std::uintmax_t kMaxSourceFile = 256u << 20;

struct Candidate {
  uint32_t id;
  std::vector<uint8_t> bytes;
  std::string source;
};

class Collector {
 public:
  explicit Collector(KernelImportResult& result) : result_(result) {}

  void Path(const std::string& path, std::optional<uint32_t> id) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) return Unreadable(path + ": " + Reason(ec, ENOENT));
    if (fs::is_directory(status)) return Folder(path);
    File(path, id, /*fromFolder=*/false);
  }

  std::vector<Candidate> candidates;

  void Refuse(const std::string& text) {
    if (result_.errors.empty()) result_.status = KernelImportResult::Refused;
    result_.errors.push_back(text);
  }

 private:
  static std::string Reason(const std::error_code& ec, int fallback) {
    return ec ? ec.message() : std::strerror(fallback);
  }

  void Unreadable(const std::string& text) {
    if (result_.errors.empty()) result_.status = KernelImportResult::Unreadable;
    result_.errors.push_back(text);
  }

  void Folder(const std::string& path) {
    std::error_code ec;
    std::vector<fs::path> files;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      if (KernelIdFromFileName(it->path().filename().string())) files.push_back(it->path());
    }
    if (ec) return Unreadable(path + ": " + ec.message());
    if (files.empty())
      return Refuse(path + ": the folder holds no kernel images (files named like 186.bin or "
                           "fpcode_186.bin)");
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) File(file.string(), std::nullopt, true);
  }

  bool ReadWhole(const std::string& path, std::vector<uint8_t>& data) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > kMaxSourceFile) {
      Refuse(path + ": at " + std::to_string(size) +
             " bytes it is neither a kernel image nor a program that carries them");
      return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      Unreadable(path + ": " + std::strerror(errno != 0 ? errno : EACCES));
      return false;
    }
    data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
      Unreadable(path + ": the file cannot be read");
      return false;
    }
    return true;
  }

  void File(const std::string& path, std::optional<uint32_t> id, bool fromFolder) {
    std::vector<uint8_t> data;
    errno = 0;
    if (!ReadWhole(path, data)) return;
    if (!fromFolder && !id && LooksLikePeModule(data)) return Module(path, data);
    if (!id) id = KernelIdFromFileName(fs::path(path).filename().string());
    if (!id) {
      return Refuse(path + ": the kernel id cannot be told from the file name (name it like "
                           "186.bin or fpcode_186.bin, or give --id)");
    }
    candidates.push_back({*id, std::move(data), path});
  }

  void Module(const std::string& path, const std::vector<uint8_t>& data) {
    std::vector<PeResource> resources;
    std::string error;
    if (!ReadPeResources(data, "FPCODE", resources, error))
      return Refuse(path + ": the module is damaged (" + error + "); nothing is imported from it");
    if (resources.empty()) return Refuse(path + ": the module carries no FPCODE resources");
    for (PeResource& resource : resources) {
      candidates.push_back({resource.id, std::move(resource.bytes),
                            path + ", resource " + std::to_string(resource.id)});
    }
  }

  KernelImportResult& result_;
};

// The checks every image passes before it is kept; the text of the first one it fails.
std::optional<std::string> CheckImage(const Candidate& c, std::vector<std::string>& warnings) {
  const std::string where = c.source + ": ";
  KernelUse use;
  if (!FindKernelUse(c.id, use))
    return where + "kernel id " + std::to_string(c.id) + " is not one the device catalogue uses";
  if (c.bytes.empty()) return where + "the image is empty";
  if (c.bytes.size() > kKernelCapacity) {
    return where + "the image has " + std::to_string(c.bytes.size()) + " bytes; the download " +
           "buffer takes at most " + std::to_string(kKernelCapacity);
  }
  if (IsStandInImage(c.bytes)) {
    return where + "this is one of QUILL's built-in stand-ins for the simulated board, not a "
                   "kernel for a real chip";
  }
  if (const std::size_t usual = UsualKernelSize(c.id); usual != 0 && usual != c.bytes.size()) {
    warnings.push_back(where + "kernel " + std::to_string(c.id) + " has " +
                       std::to_string(c.bytes.size()) + " bytes where the kernels for " +
                       DescribeKernelUse(c.id) + " have " + std::to_string(usual) +
                       "; accepted as a kernel of your own");
  }
  return std::nullopt;
}

bool SameBytes(const fs::path& path, const std::vector<uint8_t>& bytes, bool& exists) {
  std::error_code ec;
  exists = fs::exists(path, ec);
  if (!exists) return false;
  std::ifstream file(path, std::ios::binary);
  std::vector<uint8_t> old((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return old == bytes;
}

long ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<long>(::getpid());
#endif
}

// Writes bytes to a new file at path and makes them durable; the reason on failure.
std::optional<std::string> WriteDurably(const fs::path& path, const std::vector<uint8_t>& bytes) {
#ifdef _WIN32
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  file.flush();
  if (!file) return std::string("the file cannot be written");
  return std::nullopt;
#else
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return std::string(std::strerror(errno));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      return std::string(std::strerror(error));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) return std::string(std::strerror(errno));
  return std::nullopt;
#endif
}

void SyncFolder(const fs::path& folder) {
#ifndef _WIN32
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
#else
  (void)folder;
#endif
}

struct Pending {
  fs::path temporary;
  fs::path target;
};

// Writes every image under a temporary name first, then renames them into place.
bool WriteAll(const fs::path& store, const std::vector<std::pair<uint32_t, const Candidate*>>& writes,
              std::string& error) {
  std::error_code ec;
  fs::create_directories(store, ec);
  if (ec) {
    error = store.string() + ": " + ec.message();
    return false;
  }
  std::vector<Pending> pending;
  auto discard = [&pending] {
    std::error_code ignored;
    for (const Pending& p : pending) fs::remove(p.temporary, ignored);
  };
  for (const auto& [id, candidate] : writes) {
    Pending p;
    p.target = KernelFilePath(store, id);
    p.temporary = store / ("." + std::to_string(id) + ".bin." + std::to_string(ProcessId()) + ".tmp");
    fs::remove(p.temporary, ec);
    if (auto failure = WriteDurably(p.temporary, candidate->bytes)) {
      fs::remove(p.temporary, ec);
      discard();
      error = p.temporary.string() + ": " + *failure;
      return false;
    }
    pending.push_back(p);
  }
  for (std::size_t i = 0; i < pending.size(); ++i) {
    fs::rename(pending[i].temporary, pending[i].target, ec);
    if (ec) {
      error = pending[i].target.string() + ": " + ec.message();
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(i));
      discard();
      return false;
    }
  }
  SyncFolder(store);
  return true;
}

}  // namespace

std::optional<uint32_t> KernelIdFromFileName(const std::string& name) {
  static const std::regex pattern("^(?:fpcode_)?([0-9]{1,9})\\.bin$", std::regex::icase);
  std::smatch match;
  if (!std::regex_match(name, match, pattern)) return std::nullopt;
  return static_cast<uint32_t>(std::stoul(match[1].str()));
}

KernelImportResult ImportKernels(const KernelImportRequest& request) {
  KernelImportResult result;
  Collector collector(result);
  for (const std::string& path : request.paths) collector.Path(path, request.id);

  // One image per id: the same id twice with different bytes cannot both be kept.
  std::map<uint32_t, const Candidate*> byId;
  for (const Candidate& c : collector.candidates) {
    if (auto refusal = CheckImage(c, result.warnings)) {
      collector.Refuse(*refusal);
      continue;
    }
    auto [it, inserted] = byId.emplace(c.id, &c);
    if (!inserted && it->second->bytes != c.bytes) {
      collector.Refuse(c.source + ": kernel " + std::to_string(c.id) + " is also given by " +
                       it->second->source + " with different bytes");
    }
  }

  std::vector<std::pair<uint32_t, const Candidate*>> writes;
  for (const auto& [id, c] : byId) {
    KernelImportResult::Image image{id, c->source, "installed", Sha256Hex(c->bytes), c->bytes.size()};
    bool exists = false;
    if (SameBytes(KernelFilePath(request.store, id), c->bytes, exists)) {
      image.action = "already installed";
    } else if (exists && !request.replace) {
      collector.Refuse(c->source + ": a different kernel " + std::to_string(id) + " is installed (" +
                       KernelFilePath(request.store, id).string() + ")");
      result.conflicts.push_back(id);
      continue;
    } else {
      if (exists) image.action = "replaced";
      writes.emplace_back(id, c);
    }
    result.images.push_back(image);
  }

  if (!result.errors.empty()) {
    result.images.clear();
    return result;
  }
  std::string error;
  if (!writes.empty() && !WriteAll(request.store, writes, error)) {
    result.status = KernelImportResult::StoreFailed;
    result.errors.push_back("the kernel store cannot be written: " + error);
    result.images.clear();
  }
  return result;
}

}  // namespace quill
