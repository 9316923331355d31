// Reads the board's version prefix through the real probe and compares it, unit for unit,
// with what the row of kProbeCases named on the command line expects. Prints the prefix
// in hex ("prefix: 0034 0031"; "prefix:" for empty text, "prefix: nothing" when nothing
// was read); fails where it differs.

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "board_cases.h"
#include "startup/platform_ops.h"

int main(int argc, char** argv) {
  const wine_test::ProbeCase* row =
      argc == 2 ? wine_test::FindCase(wine_test::kProbeCases, argv[1]) : nullptr;
  if (row == nullptr) {
    std::fprintf(stderr, "usage: check_board_prefix CASE (a name in board_cases.h)\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  const BoardPrefix prefix = ReadBoardPrefix();
  CoUninitialize();

  std::string units = prefix.HasValue() ? "" : "nothing";
  for (size_t i = 0; i < prefix.Length(); ++i) {
    char unit[8];
    std::snprintf(unit, sizeof(unit), "%s%04x", i == 0 ? "" : " ", static_cast<unsigned>(prefix[i]));
    units += unit;
  }
  std::printf("prefix:%s%s\n", units.empty() ? "" : " ", units.c_str());
  if (units == row->prefix) return 0;
  std::printf("expected: %s\n", row->prefix);
  return 1;
}
