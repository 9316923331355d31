// Runs the program once as a user would and reports what happened, for ./run and the soak:
//
//   flashgate_driver PROGRAM [--close ok|escape|close|user] [--signal-folder DIR]
//                    [--expect supported|warning]
//
// The program starts in its own folder, beside the stand-in WinPhlash.exe, which records
// its start into a folder of the driver's. A box it shows is read and closed the given way
// (OK by default; "user" leaves it to whoever sits at the display). With --signal-folder
// it writes DIR\box-shown once the box is up and waits (at most a minute) for
// DIR\close-box before closing it, so that a screenshot can be taken in between. The
// report, one item a line:
//
//   outcome: warning caption="..." text="..." icon=... buttons=... closed-by=...
//            (or "outcome: no-window")
//   ended: yes|no
//   stand-in: started, its record:      and the record's lines, indented; or "not started"
//   left behind: N                      processes still running at the end
//   files written: 0|1                  whether anything changed in the program's folder
//   verdict: right | wrong: WHY         with --expect, judged against that code path

#include <windows.h>

#include <cstdio>
#include <string>

#include "folders.h"
#include "message_box.h"
#include "program_run.h"
#include "standin_record.h"

namespace {

using namespace wine_test;

const DWORD kWindowWait = Scaled(20000);
const DWORD kEndWait = Scaled(10000);

void WaitForSignal(const std::wstring& folder) {
  HANDLE file = CreateFileW((folder + L"\\box-shown").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  const std::wstring close = folder + L"\\close-box";
  for (int waited = 0; waited < 600; ++waited) {
    if (GetFileAttributesW(close.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    Sleep(100);
  }
}

void Print(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                      nullptr, nullptr);
  std::fputs(bytes.c_str(), stdout);
  std::fflush(stdout);
}

struct Outcome {
  bool window = false;
  Box box;
  bool ended = false;
  StandInRecord record;
};

// What is wrong with `outcome` for the code path `expected` ("supported": no window, and
// the stand-in started as "WinPhlash.exe", shown normally; "warning": the box, the end once
// it is closed, and nothing started), or null when nothing is.
const char* Fault(const std::wstring& expected, const Outcome& outcome) {
  if (expected == L"supported") {
    if (outcome.window) return "showed a window";
    if (!outcome.ended) return "did not end";
    if (!outcome.record.found) return "did not start the flasher";
    if (outcome.record.command_line != L"WinPhlash.exe" || outcome.record.show_state != SW_SHOWNORMAL) {
      return "started the flasher the wrong way";
    }
    return nullptr;
  }
  const Box& box = outcome.box;
  if (!outcome.window) return "showed no warning";
  if (box.caption != kWarningTitle || box.text != kWarningText) return "showed the wrong box";
  if (!box.exclamation_icon || box.buttons != std::vector<std::wstring>{L"OK"}) {
    return "showed the wrong icon or buttons";
  }
  if (!outcome.ended) return "did not end once the box was closed";
  if (outcome.record.found) return "started the flasher";
  return nullptr;
}

int Usage() {
  std::fprintf(stderr, "usage: flashgate_driver PROGRAM [--close ok|escape|close|user] "
                       "[--signal-folder DIR] [--expect supported|warning]\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc % 2 != 0) return Usage();
  const std::wstring program = WindowsPath(argv[1]);
  CloseBy way = CloseBy::Ok;
  bool by_user = false;
  std::wstring signal_folder;
  std::wstring expected;
  for (int i = 2; i < argc; i += 2) {
    const std::wstring option = argv[i];
    const std::wstring value = argv[i + 1];
    if (option == L"--close" && value == L"user") {
      by_user = true;
    } else if (option == L"--signal-folder") {
      signal_folder = WindowsPath(value);
    } else if (option == L"--expect" && (value == L"supported" || value == L"warning")) {
      expected = value;
    } else if (option != L"--close" || !ParseCloseBy(value, way)) {
      return Usage();
    }
  }

  const std::wstring folder = program.substr(0, program.find_last_of(L'\\'));
  const std::wstring records = MakeFolder(L"DriverRecord");
  if (records.empty()) return 1;
  const std::wstring record = records + L"\\standin.txt";
  SetEnvironmentVariableW(L"FLASHGATE_STANDIN_RECORD", record.c_str());
  const auto files_before = ListFolder(folder);
  Outcome outcome;
  int left_behind = 0;
  {
    ProgramRun run;
    // The program starts in its own folder, as from a double-click.
    if (!run.Start(program, folder)) {
      std::fprintf(stderr, "flashgate_driver: could not start the program\n");
      RemoveFolder(records);
      return 1;
    }
    HWND window = run.WaitForWindowOrExit(kWindowWait);
    outcome.window = window != nullptr;
    if (!outcome.window) {
      Print(L"outcome: no-window\n");
    } else {
      Box& box = outcome.box = ReadBox(window);
      std::wstring buttons;
      for (const std::wstring& button : box.buttons) buttons += (buttons.empty() ? L"" : L",") + button;
      Print(L"outcome: warning caption=\"" + box.caption + L"\" text=\"" + box.text + L"\" icon=" +
            (box.exclamation_icon ? L"exclamation" : L"other") + L" buttons=" + buttons);
      if (!signal_folder.empty()) WaitForSignal(signal_folder);
      if (!by_user) Close(box, way);
      Print(std::wstring(L" closed-by=") + (by_user ? L"the user" : NameOf(way)) + L"\n");
    }
    outcome.ended = run.WaitForExit(by_user ? INFINITE : kEndWait);
    if (!outcome.ended) ++left_behind;  // ended on the way out, but counted
  }
  // Any flasher it started is a process by now; once those end, its record is whole.
  left_behind += WaitForProcessesNamed(L"WinPhlash.exe", kEndWait);
  outcome.record = WaitForRecord(record, 0);
  RemoveFolder(records);

  Print(std::wstring(L"ended: ") + (outcome.ended ? L"yes" : L"no") + L"\n");
  if (!outcome.record.found) Print(L"stand-in: not started\n");
  if (outcome.record.found) {
    std::wstring lines = L"stand-in: started, its record:\n" + RecordText(outcome.record);
    for (size_t at = lines.find(L'\n'); at + 1 < lines.size(); at = lines.find(L'\n', at + 1)) {
      lines.insert(at + 1, L"  ");
    }
    Print(lines);
  }
  std::printf("left behind: %d\nfiles written: %d\n", left_behind,
              ListFolder(folder) != files_before ? 1 : 0);
  if (!expected.empty()) {
    const char* fault = Fault(expected, outcome);
    std::printf(fault == nullptr ? "verdict: right\n" : "verdict: wrong: %s\n", fault);
  }
  return 0;
}
