// Starts the flashing tool by its bare file name, so Windows' own search finds it: the
// program's folder first, then the current folder, the system folders and PATH.

#include "notify/flasher.h"

#include <windows.h>

#include "notify/elevation_fallback.h"
#include "startup/platform_ops.h"
#include "win/raii.h"

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

bool StartFlasher() noexcept {
  return LaunchFlasher({CreateFlasherProcess, StartFlasherElevated});
}
