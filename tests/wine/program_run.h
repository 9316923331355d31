#pragma once

// Starting a program as a user would, and waiting on it and on other processes.

#include <windows.h>

#include <string>
#include <vector>

namespace wine_test {

// The value of environment variable `name`; empty when it is not set.
std::wstring Variable(const wchar_t* name);

// Asks `done` every `step_ms` until it returns true (then true) or `timeout_ms` has passed.
template <typename Done>
bool WaitUntil(DWORD timeout_ms, DWORD step_ms, Done done) {
  for (const DWORD start = GetTickCount();; Sleep(step_ms)) {
    if (done()) return true;
    if (GetTickCount() - start >= timeout_ms) return false;
  }
}

// One run of a program, its standard output and error captured; ended when let go of.
class ProgramRun {
 public:
  ProgramRun() = default;
  ~ProgramRun();
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  // On `desktop` ("station\\desktop") where one is named, else on the caller's.
  bool Start(const std::wstring& program, const std::wstring& current_folder,
             const std::wstring& desktop = L"");
  DWORD Id() const { return process_.dwProcessId; }
  // Its first visible top-level window, or null once it has ended or the time is up.
  HWND WaitForWindowOrExit(DWORD timeout_ms);
  bool WaitForExit(DWORD timeout_ms);
  DWORD ExitCode() const;  // STILL_ACTIVE while it runs
  std::vector<HWND> VisibleWindows() const;  // its visible top-level windows
  std::string Output();                      // what it wrote to standard output and error

 private:
  PROCESS_INFORMATION process_ = {};
  HANDLE output_read_ = nullptr;
};

// Whether process `pid` still runs after waiting up to `wait_ms` for it to end.
bool ProcessIsRunning(DWORD pid, DWORD wait_ms = 0);
// Waits for every process whose file is `file_name` to end; returns how many still run
// once `timeout_ms` has passed.
int WaitForProcessesNamed(const wchar_t* file_name, DWORD timeout_ms);

}  // namespace wine_test
