// Runs the program once as a user would and reports what happened, for ./run; it judges
// nothing (the end-to-end tests do):
//
//   flashgate_driver PROGRAM [--close ok|escape|close|user] [--signal-folder DIR]
//
// The program starts in its own folder, beside the stand-in flashing tool. Its box is
// closed the given way (OK by default; "user": by whoever sits at the display), with
// --signal-folder only once DIR\close-box appears (at most a minute) after the driver has
// written DIR\box-shown, so that a screenshot can be taken in between. The report: what
// the box showed, whether the program ended, the stand-in's record, processes left behind,
// and whether anything was written beside the program.

#include <windows.h>

#include <cstdio>
#include <string>

#include "folders.h"
#include "message_box.h"
#include "program_run.h"
#include "standin_record.h"

namespace {

using namespace wine_test;

void WaitForSignal(const std::wstring& folder) {
  HANDLE file = CreateFileW((folder + L"\\box-shown").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  const std::wstring close = folder + L"\\close-box";
  WaitUntil(60000, 100,
            [&] { return GetFileAttributesW(close.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

// `text` in UTF-8.
void Print(const std::wstring& text) {
  const int size = static_cast<int>(text.size());
  std::string bytes(text.size() * 3, '\0');  // three bytes at most a UTF-16 unit
  bytes.resize(static_cast<size_t>(
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &bytes[0], size * 3, nullptr, nullptr)));
  std::fputs(bytes.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  CloseBy way = CloseBy::Ok;
  bool by_user = false;
  std::wstring signal_folder;
  bool usable = argc >= 2 && argc % 2 == 0;
  for (int i = 2; usable && i < argc; i += 2) {
    const std::wstring option = argv[i];
    const std::wstring value = argv[i + 1];
    if (option == L"--close" && (value == L"user" || ParseCloseBy(value, way))) {
      by_user = value == L"user";
    } else if (option == L"--signal-folder") {
      signal_folder = WindowsPath(value);
    } else {
      usable = false;
    }
  }
  if (!usable) {
    std::fprintf(stderr, "usage: flashgate_driver PROGRAM [--close ok|escape|close|user] "
                         "[--signal-folder DIR]\n");
    return 2;
  }
  const std::wstring records = MakeFolder(L"DriverRecord");
  if (records.empty()) return 1;
  const std::wstring program = WindowsPath(argv[1]);
  const std::wstring folder = program.substr(0, program.find_last_of(L'\\'));
  const std::wstring record_path = records + L"\\standin.ini";
  SetEnvironmentVariableW(L"FLASHGATE_STANDIN_RECORD", record_path.c_str());
  const auto files_before = ListFolder(folder);
  bool ended = false;
  int left_behind = 0;
  {
    ProgramRun run;
    if (!run.Start(program, folder)) {
      std::fprintf(stderr, "flashgate_driver: could not start the program\n");
      RemoveFolder(records);
      return 1;
    }
    HWND window = run.WaitForWindowOrExit(20000);
    if (window == nullptr) {
      Print(L"outcome: no-window\n");
    } else {
      const Box box = ReadBox(window);
      std::wstring buttons;
      for (const std::wstring& button : box.buttons) {
        buttons += (buttons.empty() ? L"" : L",") + button;
      }
      Print(L"outcome: warning caption=\"" + box.caption + L"\" text=\"" + box.text + L"\" icon=" +
            (box.exclamation_icon ? L"exclamation" : L"other") + L" buttons=" + buttons);
      if (!signal_folder.empty()) WaitForSignal(signal_folder);
      if (!by_user) Close(box, way);
      Print(std::wstring(L" closed-by=") + (by_user ? L"the user" : NameOf(way)) + L"\n");
    }
    ended = run.WaitForExit(by_user ? INFINITE : 10000);
    if (!ended) ++left_behind;  // ended on the way out, but counted
  }
  // Any flasher it started is a process by now; once those end, its record is whole.
  left_behind += WaitForProcessesNamed(kToolFile, 10000);
  const StandInRecord record = WaitForRecord(record_path, 0);
  RemoveFolder(records);

  std::wstring lines = record.found ? RecordText(record) : L"";
  for (size_t at = 0; at < lines.size(); at = lines.find(L'\n', at) + 1) lines.insert(at, L"  ");
  Print(std::wstring(L"ended: ") + (ended ? L"yes" : L"no") + L"\nstand-in: " +
        (record.found ? L"started, its record:\n" + lines : L"not started\n"));
  std::printf("left behind: %d\nfiles written: %d\n", left_behind,
              ListFolder(folder) != files_before ? 1 : 0);
  return 0;
}
