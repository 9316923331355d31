// A stand-in for the flashing tool, built under the tool's name (kToolFile). It records how
// it was started (standin_record.h) into the file that FLASHGATE_STANDIN_RECORD names, then
// stays open for FLASHGATE_STANDIN_SECONDS (3 by default; 0 ends it at once, without a
// window). It records no error mode: Wine hands none down to a child process, so only
// Windows could show one inherited.

#include <windows.h>

#include <cwchar>

#include "program_run.h"
#include "standin_record.h"

namespace {

using wine_test::Variable;

HWND ShowWindowAsStarted() {
  HWND window = CreateWindowW(L"Static", L"Stand-in flashing tool", WS_OVERLAPPEDWINDOW,
                              CW_USEDEFAULT, CW_USEDEFAULT, 320, 120, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  // SW_SHOWDEFAULT takes the show state the starter asked for.
  ShowWindow(window, SW_SHOWDEFAULT);
  UpdateWindow(window);
  return window;
}

void PumpFor(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < milliseconds) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(20);
  }
}

void Record(const std::wstring& path, HWND window) {
  STARTUPINFOW startup = {};
  GetStartupInfoW(&startup);
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  wchar_t current_folder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current_folder);

  wine_test::StandInRecord record;
  record.command_line = GetCommandLineW();
  record.uses_show_state = (startup.dwFlags & STARTF_USESHOWWINDOW) ? 1 : 0;
  record.show_state = startup.wShowWindow;
  record.module = module;
  record.current_folder = current_folder;
  record.pid = GetCurrentProcessId();
  record.foreground = window != nullptr && GetForegroundWindow() == window ? 1 : 0;
  wine_test::WriteRecord(path, record);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::wstring record = Variable(L"FLASHGATE_STANDIN_RECORD");
  const std::wstring seconds_text = Variable(L"FLASHGATE_STANDIN_SECONDS");
  const long seconds = seconds_text.empty() ? 3 : wcstol(seconds_text.c_str(), nullptr, 10);

  HWND window = nullptr;
  if (seconds > 0) {
    window = ShowWindowAsStarted();
    PumpFor(200);
  }
  if (!record.empty()) Record(record, window);
  if (seconds > 0) PumpFor(static_cast<DWORD>(seconds) * 1000 - 200);
  return 0;
}
