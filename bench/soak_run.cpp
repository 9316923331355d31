// One run of the soak: the real program on the board that bench/soak has set, answered as
// a person would. Prints one line each for the outcome ("right", or "wrong: " and why),
// processes left behind and whether anything was written beside the program.
//
//   soak_run supported|warning ok|escape|close FOLDER
//
// FOLDER holds FlashGate.exe and the stand-in WinPhlash.exe; on the warning road the box
// is closed the given way.

#include <windows.h>

#include <cstdio>
#include <string>

#include "person.h"

namespace {

constexpr DWORD kWindowWait = 20000;
constexpr DWORD kEndWait = 10000;

// The supported road: no window, and the stand-in started as "WinPhlash.exe", shown normally.
const char* JudgeSupported(person::ProgramRun& run, const std::wstring& record) {
  if (run.WaitForWindowOrExit(kWindowWait) != nullptr) return "showed a window";
  if (!run.WaitForExit(kEndWait)) return "did not end";
  person::WaitForProcessesNamed(L"WinPhlash.exe", kEndWait);
  const person::StandInRecord started = person::WaitForRecord(record, 0);
  if (!started.found) return "did not start the flasher";
  if (started.command_line != L"WinPhlash.exe" || started.show_state != SW_SHOWNORMAL) {
    return "started the flasher the wrong way";
  }
  return nullptr;
}

// The warning road: the box, closed by `way`, then the end, and nothing started.
const char* JudgeWarning(person::ProgramRun& run, const std::wstring& record, person::CloseBy way) {
  HWND window = run.WaitForWindowOrExit(kWindowWait);
  if (window == nullptr) return "showed no warning";
  const person::Box box = person::ReadBox(window);
  if (box.caption != person::kWarningTitle || box.text != person::kWarningText) return "showed the wrong box";
  if (!box.exclamation_icon || box.buttons != std::vector<std::wstring>{L"OK"}) {
    return "showed the wrong icon or buttons";
  }
  person::Close(box, way);
  if (!run.WaitForExit(kEndWait)) return "did not end once the box was closed";
  // Any flasher it started is a process by now; once those end, a record would be there.
  person::WaitForProcessesNamed(L"WinPhlash.exe", kEndWait);
  if (person::WaitForRecord(record, 0).found) return "started the flasher";
  return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  person::CloseBy way = person::CloseBy::Ok;
  const std::wstring road = argc == 4 ? argv[1] : L"";
  if ((road != L"supported" && road != L"warning") || !person::ParseCloseBy(argv[2], way)) {
    std::fprintf(stderr, "usage: soak_run supported|warning ok|escape|close FOLDER\n");
    return 2;
  }
  const std::wstring folder = person::WindowsPath(argv[3]);
  const std::wstring records = person::MakeFolder(L"SoakRecord");
  const std::wstring record = records + L"\\standin.txt";
  SetEnvironmentVariableW(L"FLASHGATE_STANDIN_RECORD", record.c_str());
  SetEnvironmentVariableW(L"FLASHGATE_STANDIN_SECONDS", L"0");
  const auto files_before = person::ListFolder(folder);

  const char* fault = "could not be started";
  int leftover = 0;
  {
    person::ProgramRun run;
    if (run.Start(folder + L"\\FlashGate.exe", folder)) {
      fault = road == L"supported" ? JudgeSupported(run, record) : JudgeWarning(run, record, way);
      if (!run.HasExited()) ++leftover;  // ended on the way out, but counted
    }
  }
  leftover += person::WaitForProcessesNamed(L"WinPhlash.exe", kEndWait);
  person::RemoveFolder(records);

  std::printf(fault == nullptr ? "right\n" : "wrong: %s\n", fault);
  std::printf("left behind: %d\n", leftover);
  std::printf("files written: %d\n", person::ListFolder(folder) != files_before ? 1 : 0);
  return 0;
}
