#include <cstring>
#include <iostream>

#include "program/flash_app.h"

int main(int argc, char** argv) {
  // Answered without opening a window: for a terminal, and for the manual page made from them.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::cout << "Usage: quill [--help | --version]\n"
                 "The QUILL TAVEO Flash Programmer: a wizard that programs the on-chip flash of\n"
                 "TAVEO microcontrollers (TX-A10, TX-C30, TX-C31) over a serial port, in boot mode\n"
                 "or in user mode, from a Motorola S-record file. Its choices are kept in\n"
                 "~/.config/Velmora/Quill.conf. quill-cli does the same from the command line, and\n"
                 "quill-sim simulates a target board to try it without hardware.\n"
                 "\n"
                 "  --help      this text\n"
                 "  --version   the program's version\n";
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "quill " << QUILL_VERSION << '\n';
    return 0;
  }
  quill::CFlashApp app(argc, argv);
  app.InitInstance();
  return 0;
}
