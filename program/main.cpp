#include <cstring>
#include <iostream>

#ifdef _WIN32
#include <windows.h>

#include <cstdio>
#endif

#include "program/flash_app.h"

namespace {

#ifdef _WIN32
// quill.exe is a GUI program, so Windows gives it no console. Where its output is redirected (a
// file, a pipe) the runtime already writes there; started from a Command Prompt or PowerShell, it
// writes to that window's console.
void ReachParentConsole() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (std::freopen("CONOUT$", "w", stdout) != nullptr) std::cout.clear();
}
constexpr const char* kAbout =
    "or in user mode, from a Motorola S-record file. Its choices are kept in the registry\n"
    "under HKEY_CURRENT_USER\\Software\\Velmora\\Quill\\1.0, its flash kernels in\n"
    "%LOCALAPPDATA%\\Quill\\fpcode\\. quill-cli.exe does the same from the command line.\n";
#else
constexpr const char* kAbout =
    "or in user mode, from a Motorola S-record file. Its choices are kept in\n"
    "~/.config/Velmora/Quill.conf. quill-cli does the same from the command line, and\n"
    "quill-sim simulates a target board to try it without hardware.\n";
#endif

}  // namespace

int main(int argc, char** argv) {
  // Answered without opening a window: for a terminal, and for the manual page made from them.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
#ifdef _WIN32
    ReachParentConsole();
#endif
    std::cout << "Usage: quill [--help | --version]\n"
                 "The QUILL TAVEO Flash Programmer: a wizard that programs the on-chip flash of\n"
                 "TAVEO microcontrollers (TX-A10, TX-C30, TX-C31) over a serial port, in boot mode\n"
              << kAbout
              << "\n"
                 "  --help      this text\n"
                 "  --version   the program's version\n";
    std::cout.flush();
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
#ifdef _WIN32
    ReachParentConsole();
#endif
    std::cout << "quill " << QUILL_VERSION << '\n';
    std::cout.flush();
    return 0;
  }
  quill::CFlashApp app(argc, argv);
  app.InitInstance();
  return 0;
}
