#pragma once

// Acts on the program as a person would: starts it from a folder, watches for any window
// it opens, reads the warning box, closes it by OK, Escape or the close command, and
// reads what the stand-in flashing tool recorded about its own start.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace person {

// A wait of `ms` on this machine: FLASHGATE_TIME_SCALE times longer where it is set, as it is
// where Wine's 32-bit half runs under emulation.
DWORD Scaled(DWORD ms);

// A path given the Unix way (/tmp/x) is reached through Wine's Z: drive.
std::wstring WindowsPath(const std::wstring& path);

// Whether two Windows paths name the same file, letter case aside.
bool SamePath(const std::wstring& a, const std::wstring& b);

// A fresh, empty folder under the temporary folder; `name` may hold any letters.
std::wstring MakeFolder(const std::wstring& name);
void RemoveFolder(const std::wstring& folder);
// File names and sizes in a folder, to tell whether anything was written there.
std::map<std::wstring, ULONGLONG> ListFolder(const std::wstring& folder);

// What the warning box must say, as a person reads it.
constexpr wchar_t kWarningText[] = L"This BIOS is not for your Notebook PC.";
constexpr wchar_t kWarningTitle[] = L"WinPhlash";

struct Box {
  HWND window = nullptr;
  std::wstring caption;
  std::wstring text;
  bool exclamation_icon = false;
  std::vector<std::wstring> buttons;  // the visible ones, by their text
  int default_button_id = 0;
  HWND owner = nullptr;
};

// Reads the message box's caption, text, icon and visible buttons.
Box ReadBox(HWND window);

enum class CloseBy { Ok, Escape, CloseCommand };
const wchar_t* NameOf(CloseBy way);
// Reads "ok", "escape" or "close"; false for anything else.
bool ParseCloseBy(const std::wstring& name, CloseBy& way);
void Close(const Box& box, CloseBy way);

// One run of a program, its standard output and error captured.
class ProgramRun {
 public:
  ProgramRun() = default;
  ~ProgramRun();
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  bool Start(const std::wstring& program, const std::wstring& current_folder);
  // The first visible top-level window of the process, or null once it has ended or the
  // time is up.
  HWND WaitForWindowOrExit(DWORD timeout_ms);
  bool WaitForExit(DWORD timeout_ms);
  bool HasExited() const;
  // Every visible top-level window the process has right now.
  std::vector<HWND> VisibleWindows() const;
  // What the program wrote to standard output and error.
  std::string Output();

 private:
  PROCESS_INFORMATION process_ = {};
  HANDLE output_read_ = nullptr;
  HANDLE output_write_ = nullptr;
};

// What the stand-in flashing tool recorded about its start.
struct StandInRecord {
  bool found = false;
  std::wstring command_line;
  int uses_show_state = -1;
  int show_state = -1;
  std::wstring module;
  std::wstring current_folder;
  DWORD pid = 0;
  int foreground = -1;
  long long error_mode = -1;
};

StandInRecord WaitForRecord(const std::wstring& path, DWORD timeout_ms);
bool ProcessIsRunning(DWORD pid);
// Waits for every process whose file is `file_name` to end; gives how many still run
// once `timeout_ms` has passed.
int WaitForProcessesNamed(const wchar_t* file_name, DWORD timeout_ms);

}  // namespace person
