// Runs a program once as a person would and says what happened, for ./run and the soak:
//
//   act_as_person PROGRAM [--close ok|escape|close] [--signal-folder DIR]
//
// Prints one line: "outcome: warning ..." with what the box showed, or "outcome: no-window";
// then "ended: yes" or "ended: no". With --signal-folder it writes DIR\box-shown once the
// box is up and waits (at most a minute) for DIR\close-box before closing it, so that a
// screenshot can be taken in between.

#include <windows.h>

#include <cstdio>
#include <string>

#include "person.h"

namespace {

const DWORD kWindowWait = person::Scaled(20000);
const DWORD kEndWait = person::Scaled(10000);

void WaitForSignal(const std::wstring& folder) {
  const std::wstring shown = folder + L"\\box-shown";
  HANDLE file = CreateFileW(shown.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  const std::wstring close = folder + L"\\close-box";
  for (int waited = 0; waited < 600; ++waited) {
    if (GetFileAttributesW(close.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    Sleep(100);
  }
}

void Print(const wchar_t* format, const std::wstring& a, const std::wstring& b = L"") {
  wchar_t line[1024];
  swprintf(line, 1024, format, a.c_str(), b.c_str());
  char bytes[4096];
  const int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes, sizeof(bytes), nullptr, nullptr);
  if (length > 0) std::fputs(bytes, stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: act_as_person PROGRAM [--close ok|escape|close] [--signal-folder DIR]\n");
    return 2;
  }
  const std::wstring program = person::WindowsPath(argv[1]);
  person::CloseBy way = person::CloseBy::Ok;
  std::wstring signal_folder;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::wstring option = argv[i];
    if (option == L"--close" && person::ParseCloseBy(argv[i + 1], way)) continue;
    if (option == L"--signal-folder") {
      signal_folder = person::WindowsPath(argv[i + 1]);
      continue;
    }
    std::fprintf(stderr, "act_as_person: unknown option\n");
    return 2;
  }

  // The program starts in its own folder, as from a double-click.
  const std::wstring folder = program.substr(0, program.find_last_of(L'\\'));
  person::ProgramRun run;
  if (!run.Start(program, folder)) {
    std::fprintf(stderr, "act_as_person: could not start the program\n");
    return 1;
  }
  HWND window = run.WaitForWindowOrExit(kWindowWait);
  if (window == nullptr) {
    std::printf("outcome: no-window\n");
  } else {
    const person::Box box = person::ReadBox(window);
    std::wstring buttons;
    for (const std::wstring& button : box.buttons) buttons += (buttons.empty() ? L"" : L",") + button;
    Print(L"outcome: warning caption=\"%ls\" text=\"%ls\"", box.caption, box.text);
    Print(L" icon=%ls buttons=%ls", box.exclamation_icon ? L"exclamation" : L"other", buttons);
    if (!signal_folder.empty()) WaitForSignal(signal_folder);
    person::Close(box, way);
    Print(L" closed-by=%ls\n", person::NameOf(way));
  }
  std::printf("ended: %s\n", run.WaitForExit(kEndWait) ? "yes" : "no");
  return 0;
}
