// The elevated start: when the tool's manifest asks for administrator rights, the tool beside
// this program is started through the shell's "runas" verb, so that Windows asks for consent.
//
// Consent is asked only for the tool that came with this program. Process creation also
// searches the current folder, the system folders and PATH (which on Windows 10 and later
// holds a folder that the user, and anything running as the user, can write to); a file
// found only there may have been planted, and is never offered administrator rights: the
// run then ends silently, as if no elevated start existed.

#include "flasher/flasher.h"

#include <windows.h>
#include <shellapi.h>

#include "flasher/path_join.h"
#include "win/find_export.h"

namespace {

using Path = wchar_t[MAX_PATH];

// A folder that a Windows call writes into a path buffer; false when it does not fit.
template <typename Read>
bool ReadFolder(Read read, Path& folder) {
  const UINT length = read(folder, MAX_PATH);
  return length != 0 && length < MAX_PATH;
}

bool IsFile(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The tool in this program's own folder, as a full path, where a file of its name lies
// there. Process creation looks in that folder first, so whenever it holds the tool, it is
// the very file that Windows refused to start without elevation.
bool FindFlasherBesideProgram(Path& found) {
  Path own;
  const DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  std::size_t separator = length;
  while (separator != 0 && own[separator - 1] != L'\\') --separator;
  return separator != 0 && JoinFolderAndName(own, separator - 1, kFlasherFile, found) &&
         IsFile(found);
}

bool ReadCurrentFolder(Path& folder) {
  const auto read_current = [](LPWSTR buffer, UINT size) {
    return static_cast<UINT>(GetCurrentDirectoryW(size, buffer));
  };
  return ReadFolder(read_current, folder);
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
  if (!FindFlasherBesideProgram(path)) return false;
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
