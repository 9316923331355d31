// The elevated start: when the tool's manifest asks for administrator rights, finds the file
// that process creation would have started and, where it lies beside this program, starts it
// through the shell's "runas" verb.

#include "flasher/flasher.h"

#include <windows.h>
#include <shellapi.h>

#include "flasher/program_search.h"
#include "win/find_export.h"

namespace {

using Path = wchar_t[MAX_PATH];

// A folder that a Windows call writes into a path buffer; false when it does not fit.
template <typename Read>
bool ReadFolder(Read read, Path& folder) {
  const UINT length = read(folder, MAX_PATH);
  return length != 0 && length < MAX_PATH;
}

bool ReadOwnFolder(Path& folder) {
  const DWORD length = GetModuleFileNameW(nullptr, folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  wchar_t* last_separator = nullptr;
  for (wchar_t* unit = folder; *unit != L'\0'; ++unit) {
    if (*unit == L'\\') last_separator = unit;
  }
  if (last_separator == nullptr) return false;
  *last_separator = L'\0';
  return true;
}

bool ReadCurrentFolder(Path& folder) {
  const auto read_current = [](LPWSTR buffer, UINT size) {
    return static_cast<UINT>(GetCurrentDirectoryW(size, buffer));
  };
  return ReadFolder(read_current, folder);
}

// Whether process creation searches the current folder for the tool: not where the
// NoDefaultCurrentDirectoryInExePath setting leaves it out. XP lacks the function that
// tells, and there process creation always searches it.
bool SearchesCurrentFolder() {
  using NeedCurrentDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
  const auto need_current_directory = FindExport<NeedCurrentDirectoryFn>(
      GetModuleHandleW(L"kernel32.dll"), "NeedCurrentDirectoryForExePathW");
  return need_current_directory == nullptr || need_current_directory(kFlasherFile);
}

bool IsFile(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Finds, as a full path, the file that CreateProcessW starts for the bare file name: the
// same folders in the same order, the current folder only where the
// NoDefaultCurrentDirectoryInExePath setting allows it. A path longer than MAX_PATH is no
// match. Returns which place held it.
FoundIn FindFlasher(Path& found) {
  ProgramSearchPlaces<wchar_t> places = {};
  Path own;
  if (ReadOwnFolder(own)) places.own_folder = own;
  Path current;
  if (SearchesCurrentFolder() && ReadCurrentFolder(current)) places.current_folder = current;
  Path system;
  if (ReadFolder(GetSystemDirectoryW, system)) places.system_folder = system;
  // The shared Windows folder, as process creation searches it: on a Remote Desktop host,
  // GetWindowsDirectoryW may return a per-user one instead.
  Path windows;
  Path system16;
  if (ReadFolder(GetSystemWindowsDirectoryW, windows)) {
    places.windows_folder = windows;
    if (JoinFolderAndName(windows, static_cast<std::size_t>(lstrlenW(windows)), L"System",
                          system16)) {
      places.system16_folder = system16;
    }
  }
  // PATH is read only on this rare code path, so its largest possible value may use the
  // stack.
  constexpr DWORD kMaxVariable = 32767;
  wchar_t path_list[kMaxVariable];
  const DWORD path_length = GetEnvironmentVariableW(L"PATH", path_list, kMaxVariable);
  if (path_length != 0 && path_length < kMaxVariable) places.path_list = path_list;

  Path candidate;
  return VisitSearchFolders(places, [&](const wchar_t* folder, std::size_t length) {
    if (!JoinFolderAndName(folder, length, kFlasherFile, candidate) || !IsFile(candidate)) {
      return false;
    }
    // A relative folder on PATH counts from the current folder, as it did for the search.
    const DWORD full = GetFullPathNameW(candidate, MAX_PATH, found, nullptr);
    return full != 0 && full < MAX_PATH;
  });
}

// The shell is needed only on this code path, so it is loaded here, from the system folder
// by its full path. It stays loaded: the shell may leave work of its own running in it, and
// the process ends moments later.
using ShellExecuteExWFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
ShellExecuteExWFn LoadShellExecuteEx() {
  Path system;
  Path shell32;
  if (!ReadFolder(GetSystemDirectoryW, system) ||
      !JoinFolderAndName(system, static_cast<std::size_t>(lstrlenW(system)), L"shell32.dll",
                         shell32)) {
    return nullptr;
  }
  return FindExport<ShellExecuteExWFn>(LoadLibraryW(shell32), "ShellExecuteExW");
}

}  // namespace

bool StartFlasherElevated() {
  Path path;
  // Consent is asked only for the tool that came with this program: anything running as the
  // user may have put a file in the other places searched (the current folder, PATH, which
  // on Windows 10 and later holds a folder the user can write to).
  if (FindFlasher(path) != FoundIn::kOwnFolder) return false;
  const ShellExecuteExWFn shell_execute_ex = LoadShellExecuteEx();
  if (shell_execute_ex == nullptr) return false;

  SHELLEXECUTEINFOW execute = {};
  execute.cbSize = sizeof(execute);
  // No error boxes of the shell's own; finish the start before this process ends.
  execute.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  execute.lpVerb = L"runas";
  execute.lpFile = path;
  // Without a folder, an elevated start need not keep this program's (it commonly lands in
  // the system folder); the tool may open its image relative to its working folder, so it
  // gets this program's, as on the other code path.
  Path current;
  if (ReadCurrentFolder(current)) execute.lpDirectory = current;
  execute.nShow = SW_SHOWNORMAL;
  return shell_execute_ex(&execute) != FALSE;
}
