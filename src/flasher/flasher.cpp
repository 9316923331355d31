// Starts the flashing tool by its bare file name, so Windows' own search finds it: the
// program's folder first, then the current folder, the system folders and PATH.

#include "flasher/flasher.h"

#include <windows.h>

#include "flasher/elevation_fallback.h"
#include "startup/platform_ops.h"
#include "win/dll_search.h"
#include "win/raii.h"

namespace {

// Starts the tool as Explorer would: shown normal and activated, with Windows' default DLL
// search and error mode, not the narrowed search and silenced errors this program runs
// with. Returns 0, or the error code, read before the narrowing is put back.
DWORD CreateAsExplorerWould(wchar_t* command_line, PROCESS_INFORMATION& started) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  const DefaultDllSearchForChildren default_dll_search;
  if (!CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE,
                      nullptr, nullptr, &startup, &started)) {
    return GetLastError();
  }
  return 0;
}

}  // namespace

std::uint32_t StartFlasherByName() {
  // CreateProcessW may write into the command line, so it gets a copy of its own.
  wchar_t command_line[sizeof(kFlasherFile) / sizeof(wchar_t)];
  lstrcpynW(command_line, kFlasherFile, sizeof(kFlasherFile) / sizeof(wchar_t));

  PROCESS_INFORMATION started = {};
  const DWORD error = CreateAsExplorerWould(command_line, started);
  if (error != 0) return error;
  ScopedHandle process(started.hProcess);
  ScopedHandle thread(started.hThread);
  return 0;
}

bool StartFlasher() noexcept {
  return StartFlasherWith({StartFlasherByName, StartFlasherElevated});
}
