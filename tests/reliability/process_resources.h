// What this process holds, read from /proc/self: open descriptors (with what they refer to),
// threads and resident memory. The reliability tests compare them before and after operations.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace quill::test {

// Descriptor number -> what it refers to (a path, "pipe:[...]", "anon_inode:[eventfd]", ...).
std::map<int, std::string> OpenDescriptors();
// How many descriptors refer to path.
int DescriptorsOn(const std::string& path);
std::size_t ThreadCount();
// Resident set size in kilobytes.
std::size_t ResidentKb();

}  // namespace quill::test
