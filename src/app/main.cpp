// Entry point: parses the command line and starts the window or the window-less mode.
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("Sorvik 1.2.8");
      return 0;
    }
  }
  std::fprintf(stderr, "sorvik: not implemented yet\n");
  return 1;
}
