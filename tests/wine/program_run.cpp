#include "program_run.h"

#include <tlhelp32.h>

namespace wine_test {

std::wstring Variable(const wchar_t* name) {
  std::wstring value(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
  value.resize(GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size())));
  return value;
}

ProgramRun::~ProgramRun() {
  if (process_.hProcess != nullptr) {
    if (!WaitForExit(0)) TerminateProcess(process_.hProcess, 1);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
  }
  if (output_read_ != nullptr) CloseHandle(output_read_);
}

bool ProgramRun::Start(const std::wstring& program, const std::wstring& current_folder,
                       const std::wstring& desktop) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE output_write = nullptr;
  if (!CreatePipe(&output_read_, &output_write, &inheritable, 1 << 16)) return false;
  SetHandleInformation(output_read_, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = output_write;
  std::wstring desktop_name = desktop;
  if (!desktop_name.empty()) startup.lpDesktop = &desktop_name[0];
  std::wstring command_line = L"\"" + program + L"\"";
  const BOOL started = CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, TRUE,
                                      0, nullptr, current_folder.c_str(), &startup, &process_);
  // Only the child keeps a writing end, so reading ends when it does.
  CloseHandle(output_write);
  return started != FALSE;
}

bool ProgramRun::WaitForExit(DWORD timeout_ms) {
  return WaitForSingleObject(process_.hProcess, timeout_ms) == WAIT_OBJECT_0;
}

DWORD ProgramRun::ExitCode() const {
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process_.hProcess, &code);
  return code;
}

std::vector<HWND> ProgramRun::VisibleWindows() const {
  std::vector<HWND> visible;
  for (HWND window = FindWindowExW(nullptr, nullptr, nullptr, nullptr); window != nullptr;
       window = FindWindowExW(nullptr, window, nullptr, nullptr)) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == process_.dwProcessId && IsWindowVisible(window)) visible.push_back(window);
  }
  return visible;
}

HWND ProgramRun::WaitForWindowOrExit(DWORD timeout_ms) {
  std::vector<HWND> windows;
  WaitUntil(timeout_ms, 10, [&] {
    windows = VisibleWindows();
    return !windows.empty() || WaitForExit(0);
  });
  return windows.empty() ? nullptr : windows.front();
}

std::string ProgramRun::Output() {
  std::string output;
  char buffer[4096];
  DWORD available = 0;
  while (PeekNamedPipe(output_read_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    DWORD read = 0;
    if (!ReadFile(output_read_, buffer, sizeof(buffer), &read, nullptr) || read == 0) break;
    output.append(buffer, read);
  }
  return output;
}

bool ProcessIsRunning(DWORD pid, DWORD wait_ms) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return false;
  const bool running = WaitForSingleObject(process, wait_ms) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

int WaitForProcessesNamed(const wchar_t* file_name, DWORD timeout_ms) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD start = GetTickCount();
  int still_running = 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, file_name) != 0) continue;
    const DWORD waited = GetTickCount() - start;
    const DWORD left = waited < timeout_ms ? timeout_ms - waited : 0;
    if (ProcessIsRunning(entry.th32ProcessID, left)) ++still_running;
  }
  CloseHandle(snapshot);
  return still_running;
}

}  // namespace wine_test
