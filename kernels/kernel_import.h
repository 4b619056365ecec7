// Taking kernel images into the user's kernel store: from raw image files, folders of them, or
// the FPCODE resources of a Windows program or DLL. Every image is checked first and the import
// is all or nothing: when one image is refused or one path cannot be read, the store is left as
// it was. Files are written under a temporary name and renamed, so a crash never leaves a
// half-written kernel where a boot would find it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quill {

struct KernelImportRequest {
  std::vector<std::string> paths;
  std::optional<uint32_t> id;  // the id of a single raw image whose name carries none
  bool replace = false;        // a different image may replace an installed one
  std::filesystem::path store;
};

struct KernelImportResult {
  enum Status {
    Imported,    // every image is in the store (written now or already there)
    Refused,     // an image was refused; nothing written
    Unreadable,  // a path could not be read; nothing written
    StoreFailed  // the store could not be written; no image is half-written
  };
  struct Image {
    uint32_t id = 0;
    std::string source;  // the file, or "module, resource N"
    std::string action;  // "installed", "replaced", "already installed"
    std::string sha256;
    std::size_t size = 0;
  };
  Status status = Imported;
  std::vector<Image> images;          // what the store holds now from this import
  std::vector<std::string> warnings;  // accepted, but worth a look (an unusual size)
  std::vector<std::string> errors;    // why nothing was written
  // Ids refused only because a different image is installed (replace would take them).
  std::vector<uint32_t> conflicts;
};

KernelImportResult ImportKernels(const KernelImportRequest& request);

// The kernel id a raw image's file name carries ("186.bin", "fpcode_186.bin"); nullopt otherwise.
std::optional<uint32_t> KernelIdFromFileName(const std::string& name);

}  // namespace quill
