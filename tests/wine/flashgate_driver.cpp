// Runs the program once as a user would and tells, in words, what happened, for ./run; the
// end-to-end tests judge the outcome, this only reports it:
//
//   flashgate_driver PROGRAM [--by-user | --signal-folder DIR]
//
// The program starts in its own folder, beside the stand-in flashing tool. Its box is
// closed with OK, or with --by-user by whoever sits at the display; with --signal-folder
// only once DIR\close-box appears (at most a minute) after the driver has written
// DIR\box-shown, so that a screenshot can be taken in between. Exits 1 when the
// program crashed, hung or could not be started, and then also writes DIR\failed, for a
// caller that cannot see the exit status (a Wine desktop started by explorer).

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "folders.h"
#include "message_box.h"
#include "program_run.h"
#include "standin_record.h"
#include "wbem_query.h"

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

// The board's version as the program will be told it, through WMI's own client interface.
std::wstring BoardVersion() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return L"unknown: COM failed";
  Variant version;
  std::wstring text = L"none: WMI returned no board with a version";
  if (ReadLastBoardVersion(version)) {
    text = L"\"" + std::wstring(version->bstrVal, SysStringLen(version->bstrVal)) + L"\"";
  }
  CoUninitialize();
  return text;
}

std::wstring Hex(DWORD value) {
  wchar_t text[16];
  swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(value));
  return text;
}

std::wstring Joined(const std::vector<std::wstring>& parts) {
  std::wstring joined;
  for (const std::wstring& part : parts) joined += (joined.empty() ? L"" : L", ") + part;
  return joined;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring option = argc == 3 || argc == 4 ? argv[2] : L"";
  const bool by_user = argc == 3 && option == L"--by-user";
  const std::wstring signal_folder = argc == 4 && option == L"--signal-folder"
                                         ? WindowsPath(argv[3]) : L"";
  if (argc != 2 && !by_user && signal_folder.empty()) {
    std::fprintf(stderr, "usage: flashgate_driver PROGRAM [--by-user | --signal-folder DIR]\n");
    return 2;
  }
  const std::wstring records = MakeFolder(L"DriverRecord");
  if (records.empty()) return 1;
  const std::wstring program = WindowsPath(argv[1]);
  const std::wstring folder = program.substr(0, program.find_last_of(L'\\'));
  const std::wstring record_path = records + L"\\standin.ini";
  SetEnvironmentVariableW(L"FLASHGATE_STANDIN_RECORD", record_path.c_str());
  Print(L"The board's version, as WMI reports it: " + BoardVersion() + L"\n");

  const auto files_before = ListFolder(folder);
  bool shown = false;
  DWORD exit_code = STILL_ACTIVE;
  {
    ProgramRun run;
    if (!run.Start(program, folder)) {
      std::fprintf(stderr, "flashgate_driver: could not start the program\n");
      RemoveFolder(records);
      return 1;
    }
    HWND window = run.WaitForWindowOrExit(20000);
    if (window != nullptr) {
      shown = true;
      const Box box = ReadBox(window);
      Print(L"FlashGate decided that this is not the notebook the tool is meant for.\n"
            L"It showed a box:\n  title \"" + box.caption + L"\"\n  text \"" + box.text +
            L"\"\n  icon: " + (box.exclamation_icon ? L"the exclamation mark" : L"another one") +
            L"\n  buttons: " + Joined(box.buttons) + L"\n");
      if (!signal_folder.empty()) WaitForSignal(signal_folder);
      if (!by_user) Close(box, CloseBy::Ok);
      Print(by_user ? L"You closed the box.\n" : L"The box was closed with OK.\n");
    }
    if (run.WaitForExit(by_user ? INFINITE : 10000)) exit_code = run.ExitCode();
  }
  // Any tool it started is a process by now; once those end, its record is whole.
  const int tools_left = WaitForProcessesNamed(kToolFile, 10000);
  const StandInRecord record = WaitForRecord(record_path, 0);
  RemoveFolder(records);

  if (record.found) {
    Print(std::wstring(L"FlashGate decided that this is the notebook the tool is meant for.\n") +
          (shown ? L"It also" : L"It showed nothing and") + L" started " + kToolFile +
          L", here a stand-in that records how it was started:\n  command line: " +
          record.command_line + L"\n  window: show state " + std::to_wstring(record.show_state) +
          (record.show_state == SW_SHOWNORMAL ? L" (normal)" : L"") +
          (record.foreground == 1 ? L", with the focus" : L", without the focus") +
          L"\n  file: " + record.module + L"\n  current folder: " + record.current_folder + L"\n");
  } else if (!shown) {
    Print(L"FlashGate showed nothing and started nothing.\n");
  }
  bool failed = false;
  if (exit_code == STILL_ACTIVE) {
    Print(L"FlashGate was still running after 10 s, and was ended.\n");
    failed = true;
  } else if (exit_code >= 0xC0000000) {
    Print(L"FlashGate CRASHED: it ended with exception code " + Hex(exit_code) + L".\n");
    failed = true;
  } else {
    Print(L"FlashGate ended with exit code " + std::to_wstring(exit_code) + L".\n");
  }
  if (tools_left > 0) Print(L"The tool was still running after 10 s, and was left so.\n");
  if (ListFolder(folder) != files_before) Print(L"Something was written beside the program.\n");
  if (!failed) return 0;
  if (!signal_folder.empty()) {
    HANDLE file = CreateFileW((signal_folder + L"\\failed").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  return 1;
}
