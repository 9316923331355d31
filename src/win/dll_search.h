#pragma once

// Where this program's DLLs may come from, and the search the tool it starts inherits.

#include <windows.h>

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// Keeps DLLs loaded at run time out of the program's and the current folder (it is usually
// run from a downloads folder, where anything may lie). The static imports are not touched:
// Windows has loaded them from System32 before the program's first line runs.
// `set_default_dll_directories` restricts the search to System32; where Windows lacks it
// (null: XP, Vista and 7 without KB2533623), SetDllDirectoryW(L"") takes only the current
// folder out, and the program's own folder still comes first for a DLL loaded by bare name
// that is not a KnownDLL.
void NarrowDllSearch(SetDefaultDllDirectoriesFn set_default_dll_directories);

// NarrowDllSearch with kernel32's SetDefaultDllDirectories, where Windows has it.
void HardenDllSearch();

// While it lives, a process this program creates gets Windows' default DLL search. Only the
// SetDllDirectoryW narrowing is handed down to child processes (SetDefaultDllDirectories is
// per process), so only that one is lifted, and it is put back when this goes out of scope.
class DefaultDllSearchForChildren {
 public:
  DefaultDllSearchForChildren();
  ~DefaultDllSearchForChildren();
  DefaultDllSearchForChildren(const DefaultDllSearchForChildren&) = delete;
  DefaultDllSearchForChildren& operator=(const DefaultDllSearchForChildren&) = delete;

 private:
  bool lifted_ = false;
};
