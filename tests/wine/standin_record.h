#pragma once

// The record in which the stand-in flashing tool says how it was started: one "key=value"
// line a field, in UTF-8, written whole under a temporary name and renamed into place.

#include <windows.h>

#include <string>

namespace wine_test {

// The tool's file name as the tests expect it (FLASHGATE_EXPECTED_TOOL), not the program's.
inline constexpr wchar_t kToolFile[] = FLASHGATE_EXPECTED_TOOL;

struct StandInRecord {
  bool found = false;
  std::wstring command_line;
  long long uses_show_state = -1;  // 1 when the starter set STARTF_USESHOWWINDOW
  long long show_state = -1;
  std::wstring module;
  std::wstring current_folder;
  DWORD pid = 0;
  long long foreground = -1;  // 1 when its window had the focus
  long long error_mode = -1;
};

std::wstring RecordText(const StandInRecord& record);
// Writes the record to `path` so that a reader sees all of it or none of it.
bool WriteRecord(const std::wstring& path, const StandInRecord& record);
// The record at `path` once it is there and whole; `found` is false if it is not by
// `timeout_ms`.
StandInRecord WaitForRecord(const std::wstring& path, DWORD timeout_ms);

// `text` in UTF-8, as the record holds it and the driver prints it, and back.
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& bytes);

}  // namespace wine_test
