#pragma once

// The record in which the stand-in flashing tool says how it was started: a profile
// (.ini) file, written and read through Windows' profile API. The file starts as UTF-16
// with a byte-order mark, so that the API keeps every letter of a path; it is written whole
// under a temporary name and renamed into place.

#include <windows.h>

#include <string>

namespace wine_test {

// The tool's file name as the tests expect it (FLASHGATE_EXPECTED_TOOL), not the program's.
inline constexpr wchar_t kToolFile[] = FLASHGATE_EXPECTED_TOOL;

struct StandInRecord {
  bool found = false;
  std::wstring command_line;
  int uses_show_state = -1;  // 1 when the starter set STARTF_USESHOWWINDOW
  int show_state = -1;
  std::wstring module;
  std::wstring current_folder;
  DWORD pid = 0;
  int foreground = -1;  // 1 when its window had the focus
};

// Writes the record to `path` so that a reader sees all of it or none of it.
bool WriteRecord(const std::wstring& path, const StandInRecord& record);
// The record at `path` once it is there; `found` is false if it is not by `timeout_ms`.
StandInRecord WaitForRecord(const std::wstring& path, DWORD timeout_ms);

}  // namespace wine_test
