#pragma once

// The boards the Wine tests run on and what each must lead to, one ctest test a row.
// tests/wine/CMakeLists.txt reads the rows, each on one line (a line that does not read as
// a row stops the configure step), and runs the row's program on its board, set through the
// firmware by scripts/with-board: its text as bash's $'...' reads it, or "--no-board" for
// no board file. The program looks its row up by name.

#include <cstring>

namespace wine_test {

// The real probe through Wine's WMI (check_board_prefix): the prefix's UTF-16 units in hex;
// `core`: also where the 32-bit code runs only under emulation.
struct ProbeCase {
  const char* name;
  const char* board;
  const char* prefix;
  bool core;
};

inline constexpr ProbeCase kProbeCases[] = {
    {"wmi.real.version_41abc", "41ABC", "0034 0031", true},
    {"wmi.real.one_unit", "4", "0034", false},
    {"wmi.real.leading_space_kept", " 41", "0020 0034", false},
    {"wmi.real.no_board_file", "--no-board", "0031 002e", false},
    // Firmware strings are bytes, which Wine reads in the ANSI code page (1252 here).
    {"wmi.real.non_ascii", "\\xe941", "00e9 0034", false},
};

// The real program (e2e_test): the tests of the code path the board leads to, and those
// of them that run under emulation (none: the row does not run there).
struct ProgramCase {
  const char* name;
  const char* board;
  const char* tests;
  const char* core;
};

inline constexpr ProgramCase kProgramCases[] = {
    {"e2e.supported_41abc", "41ABC", "SupportedPath.*", "SupportedPath.StartsTheFlasherBeside*"},
    {"e2e.warning_14", "14", "*WarningPath*:CodePath.*", nullptr},
    // Not under emulation: e2e.controls_before_the_box runs this code path there, closed by OK.
    {"e2e.warning_40", "40", "*WarningPath*", nullptr},
    {"e2e.warning_4", "4", "*WarningPath*", nullptr},
    {"e2e.warning_empty", "", "*WarningPath*", nullptr},
    {"e2e.warning_space_41", " 41", "*WarningPath*", nullptr},
    {"e2e.warning_no_board", "--no-board", "*WarningPath*", "EachWay/WarningPath.*/0"},
    {"e2e.controls_before_the_box", "40", "TracedPath.*", "TracedPath.*"},  // Wine's traces on
};

template <typename Case, size_t count>
const Case* FindCase(const Case (&cases)[count], const char* name) {
  for (const Case& row : cases) {
    if (std::strcmp(row.name, name) == 0) return &row;
  }
  return nullptr;
}

}  // namespace wine_test
