// Reads the board's version prefix through the real probe, prints its UTF-16 units in hex
// ("prefix: 0034 0031"; "prefix:" for empty text, "prefix: nothing" when nothing was read)
// and fails where they differ from what the kProbeCases row named on the command line expects.

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "board_cases.h"
#include "startup/platform_ops.h"

int main(int argc, char** argv) {
  const auto* row = argc == 2 ? wine_test::FindCase(wine_test::kProbeCases, argv[1]) : nullptr;
  if (row == nullptr) {
    std::fprintf(stderr, "usage: check_board_prefix CASE (a row of board_cases.h)\n");
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
  if (units.empty() ? *row->prefix == '\0' : units.substr(1) == row->prefix) return 0;
  std::printf("expected: %s\n", row->prefix);
  return 1;
}
