// Starts the flashing tool by its bare file name, so Windows' own search finds it: the
// program's folder first, then the current folder, the system folders and PATH.

#include "notify/flasher_start.h"

#include <windows.h>
#include <shellapi.h>

#include "notify/flasher_launch.h"
#include "startup/platform_ops.h"

namespace {

constexpr wchar_t kFlasherFile[] = L"WinPhlash.exe";
using Path = wchar_t[MAX_PATH];

// Closes a kernel handle when it goes out of scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

 private:
  HANDLE handle_;
};

}  // namespace

std::uint32_t CreateFlasherProcess() {
  // CreateProcessW may write into the command line, so it gets a copy of its own.
  wchar_t command_line[sizeof(kFlasherFile) / sizeof(wchar_t)];
  lstrcpynW(command_line, kFlasherFile, sizeof(kFlasherFile) / sizeof(wchar_t));

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started = {};
  // The tool gets the default error mode, not the silenced one this program runs with.
  if (!CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE,
                      CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &started)) {
    return GetLastError();
  }
  ScopedHandle process(started.hProcess);
  ScopedHandle thread(started.hThread);
  return 0;
}

namespace {

// Looks for the tool in one folder, or along the system's own search when folder is null.
bool FindFlasherIn(const wchar_t* folder, Path& found) {
  const DWORD length = SearchPathW(folder, kFlasherFile, nullptr, MAX_PATH, found, nullptr);
  return length != 0 && length < MAX_PATH;
}

// Finds the file that process creation would start: the program's own folder, then the
// current folder, then the system folders and PATH (SearchPathW's own order, which in
// safe search mode would otherwise put the current folder after the system folders).
bool FindFlasher(Path& found) {
  Path own_folder;
  const DWORD length = GetModuleFileNameW(nullptr, own_folder, MAX_PATH);
  if (length != 0 && length < MAX_PATH) {
    wchar_t* last_separator = nullptr;
    for (wchar_t* unit = own_folder; *unit != L'\0'; ++unit) {
      if (*unit == L'\\') last_separator = unit;
    }
    if (last_separator != nullptr) {
      *last_separator = L'\0';
      if (FindFlasherIn(own_folder, found)) return true;
    }
  }
  Path current_folder;
  const DWORD current_length = GetCurrentDirectoryW(MAX_PATH, current_folder);
  if (current_length != 0 && current_length < MAX_PATH &&
      FindFlasherIn(current_folder, found)) {
    return true;
  }
  return FindFlasherIn(nullptr, found);
}

}  // namespace

bool StartFlasherElevated() {
  Path path;
  if (!FindFlasher(path)) return false;

  SHELLEXECUTEINFOW execute = {};
  execute.cbSize = sizeof(execute);
  // No error boxes of the shell's own; finish the start before this process ends.
  execute.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  execute.lpVerb = L"runas";
  execute.lpFile = path;
  execute.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&execute) != FALSE;
}

bool StartFlasher() noexcept {
  return LaunchFlasher({CreateFlasherProcess, StartFlasherElevated});
}
