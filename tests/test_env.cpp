// Linked into every test program: before any test runs, the user's kernel store is pointed at a
// folder that does not exist, so kernels installed on this machine never change what a test (or
// a quill-cli or quill-sim it starts) downloads. Tests that need kernels make a store of their own.
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace {

const bool kEmptyKernelStore = [] {
  const std::string folder = "/nonexistent/quill-test-" + std::to_string(::getpid());
  return ::setenv("XDG_DATA_HOME", folder.c_str(), 1) == 0;
}();

}  // namespace
