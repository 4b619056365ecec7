// Takes COUNT per-board values from one counter of a store, as the boards of a run take them,
// and prints each on its own line: run_bench.py starts several at once on one store and checks
// that every value is distinct.
// Usage: quill-bench-values URL NAME COUNT
#include <cstdio>
#include <cstdlib>
#include <string>

#include "records/board_value.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: quill-bench-values URL NAME COUNT\n");
    return 64;
  }
  quill::records::ValueSource source;
  source.name = argv[2];
  source.format = *quill::records::ValueFormat::Parse("u32le");
  source.from = 1;
  quill::records::ValueTaker taker(argv[1], source);
  const int count = std::atoi(argv[3]);
  std::string out;
  for (int i = 0; i < count; ++i) {
    std::string why;
    const auto value = taker.Take(&why);
    if (!value) {
      std::fprintf(stderr, "quill-bench-values: %s\n", why.c_str());
      return 69;
    }
    out += value->text + "\n";
  }
  std::fputs(out.c_str(), stdout);
  return 0;
}
