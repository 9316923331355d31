// Reads the board's version prefix through the real probe, prints its UTF-16 units in hex
// ("prefix: 0034 0031"; "prefix:" for empty text, "prefix: nothing" when nothing was read)
// and fails where they differ from the expected units given on the command line.

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "startup/platform_ops.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: check_board_prefix \"0034 0031\" (the units expected, in hex)\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  const BoardPrefix prefix = ReadBoardPrefix();
  CoUninitialize();

  std::string units = prefix.HasValue() ? "" : " nothing";
  for (size_t i = 0; i < prefix.Length(); ++i) {
    char unit[8];
    std::snprintf(unit, sizeof(unit), " %04x", static_cast<unsigned>(prefix[i]));
    units += unit;
  }
  std::printf("prefix:%s\n", units.c_str());
  if (units == (*argv[1] == '\0' ? "" : " " + std::string(argv[1]))) return 0;
  std::printf("expected: %s\n", argv[1]);
  return 1;
}
