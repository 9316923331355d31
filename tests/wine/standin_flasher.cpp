// A stand-in for the flashing tool, built as WinPhlash.exe. It records how it was started
// (command line, show state, its own path, its current folder, whether its window got the
// focus, the error mode it was given) into the file
// that FLASHGATE_STANDIN_RECORD names, then stays open for FLASHGATE_STANDIN_SECONDS
// (3 by default; 0 ends it at once, without a window).

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

// The value of an environment variable, or an empty text.
void ReadVariable(const wchar_t* name, wchar_t (&value)[MAX_PATH]) {
  const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) value[0] = L'\0';
}

HWND ShowWindowAsStarted() {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = DefWindowProcW;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"FlashGateStandIn";
  RegisterClassW(&window_class);
  HWND window = CreateWindowW(L"FlashGateStandIn", L"Stand-in flashing tool",
                              WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320, 120,
                              nullptr, nullptr, window_class.hInstance, nullptr);
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

void Record(const wchar_t* path, HWND window) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  wchar_t current_folder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current_folder);

  wchar_t part[MAX_PATH + 8];
  swprintf(part, MAX_PATH + 8, L"%ls.part", path);
  FILE* out = _wfopen(part, L"w, ccs=UTF-8");
  if (out == nullptr) return;
  fwprintf(out, L"command_line=%ls\n", GetCommandLineW());
  fwprintf(out, L"uses_show_state=%d\n", (startup.dwFlags & STARTF_USESHOWWINDOW) ? 1 : 0);
  fwprintf(out, L"show_state=%u\n", static_cast<unsigned>(startup.wShowWindow));
  fwprintf(out, L"module=%ls\n", module);
  fwprintf(out, L"current_folder=%ls\n", current_folder);
  fwprintf(out, L"pid=%lu\n", GetCurrentProcessId());
  fwprintf(out, L"foreground=%d\n", window != nullptr && GetForegroundWindow() == window ? 1 : 0);
  fwprintf(out, L"error_mode=%u\n", GetErrorMode());
  fclose(out);
  // The reader sees the whole record or none of it.
  MoveFileExW(part, path, MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t record[MAX_PATH];
  ReadVariable(L"FLASHGATE_STANDIN_RECORD", record);
  wchar_t seconds_text[MAX_PATH];
  ReadVariable(L"FLASHGATE_STANDIN_SECONDS", seconds_text);
  const long seconds = seconds_text[0] != L'\0' ? wcstol(seconds_text, nullptr, 10) : 3;

  HWND window = nullptr;
  if (seconds > 0) {
    window = ShowWindowAsStarted();
    PumpFor(200);
  }
  if (record[0] != L'\0') Record(record, window);
  if (seconds > 0) PumpFor(static_cast<DWORD>(seconds) * 1000 - 200);
  return 0;
}
