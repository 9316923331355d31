// The real program under Wine, on a board set through the firmware, watched and answered
// the way a user would. Run as: e2e_test --gtest_filter=TESTS FLASHGATE_EXE STANDIN_EXE,
// where TESTS are those of the code path the board must lead to (tests/wine/CMakeLists.txt).
// Wine's traces of the program go to the Unix standard error that it inherits from this
// test, which the test's command sends to the file FLASHGATE_TRACE names.

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "message_box.h"
#include "standin_test.h"

namespace wine_test {

const char* RowName(CloseBy way) {
  const char* const names[] = {"ok", "escape", "close_command"};
  return names[static_cast<int>(way)];
}
void PrintTo(CloseBy way, std::ostream* out) { *out << RowName(way); }

}  // namespace wine_test

namespace {

using namespace wine_test;

std::wstring flashgate_exe;
std::wstring standin_exe;

const DWORD kPromptly = 5000;     // the program's whole run, Wine's start included
const DWORD kWindowWait = 20000;  // for the box to appear

// Wine's CreateProcessW returns once the new process runs, and a stand-in started by the
// tests lives for seconds: a tool the program started still runs when the program has ended.
bool FlasherStarted(const std::wstring& record) {
  return WaitForProcessesNamed(kToolFile, 0) > 0 || WaitForRecord(record, 0).found;
}

class CodePath : public StandInTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StandInTest::SetUp());
    program_folder_ = NewFolder(L"FlashGate");
    other_folder_ = NewFolder(L"Elsewhere");
    ASSERT_FALSE(program_folder_.empty() || other_folder_.empty());
    // Long enough to outlive the program, short enough not to hold up the next test.
    SetEnvironmentVariableW(L"FLASHGATE_STANDIN_SECONDS", L"2");
    ASSERT_TRUE(PlaceProgramIn(program_folder_));
  }

  bool PlaceProgramIn(const std::wstring& folder) {
    program_folder_ = folder;
    return CopyFileW(flashgate_exe.c_str(), ProgramPath().c_str(), FALSE) != 0;
  }

  static bool PlaceStandInIn(const std::wstring& folder) {
    return CopyFileW(standin_exe.c_str(), (folder + L"\\" + kToolFile).c_str(), FALSE) != 0;
  }

  std::wstring ProgramPath() const { return program_folder_ + L"\\FlashGate.exe"; }

  // Runs the program, checks the box it shows, closes it and checks the program ended
  // without starting the flasher or writing anything beside itself. Returns its process id.
  DWORD RunAndCloseBy(CloseBy way) {
    EXPECT_TRUE(PlaceStandInIn(program_folder_));
    const auto files_before = ListFolder(program_folder_);
    ProgramRun run;
    EXPECT_TRUE(run.Start(ProgramPath(), program_folder_));

    HWND window = run.WaitForWindowOrExit(kWindowWait);
    EXPECT_NE(window, nullptr) << "the program ended, or showed nothing, without a warning";
    if (window == nullptr) return run.Id();
    const Box box = ReadBox(window);
    EXPECT_EQ(box.caption, L"WinPhlash");
    EXPECT_EQ(box.text, L"This BIOS is not for your Notebook PC.");
    EXPECT_TRUE(box.exclamation_icon) << "the box must carry the exclamation icon";
    EXPECT_EQ(box.buttons, std::vector<std::wstring>{L"OK"});
    EXPECT_EQ(box.default_button_id, IDOK);
    EXPECT_EQ(box.owner, nullptr) << "the box has no owner window";
    EXPECT_EQ(run.VisibleWindows().size(), 1u) << "the box is the only window";

    Close(box, way);
    EXPECT_TRUE(run.WaitForExit(kPromptly)) << "left running after closing by " << RowName(way);
    EXPECT_FALSE(FlasherStarted(record_)) << "the flasher was started";
    EXPECT_EQ(run.Output(), "");
    EXPECT_EQ(ListFolder(program_folder_), files_before) << "wrote into the program's folder";
    return run.Id();
  }

  // Runs the program from the other folder and checks that it opened no window, wrote
  // nothing and ended promptly. Returns its process id.
  DWORD RunFromTheOtherFolder() {
    const auto files_before = ListFolder(program_folder_);
    ProgramRun run;
    EXPECT_TRUE(run.Start(ProgramPath(), other_folder_));
    const DWORD start = GetTickCount();
    EXPECT_EQ(run.WaitForWindowOrExit(kPromptly), nullptr) << "the program opened a window";
    EXPECT_TRUE(run.WaitForExit(0)) << "the program was left running: it did not end promptly";
    EXPECT_LT(GetTickCount() - start, kPromptly);
    EXPECT_EQ(run.Output(), "");
    EXPECT_EQ(ListFolder(program_folder_), files_before) << "wrote into the program's folder";
    return run.Id();
  }

  // Returns what the stand-in recorded, after checking it was started from `folder` as
  // asked, in the program's current folder (the other folder).
  StandInRecord ExpectStartedAsAsked(const std::wstring& folder) {
    const StandInRecord record = WaitForRecord(record_, 5000);
    EXPECT_TRUE(record.found) << "the flasher was not started";
    if (!record.found) return record;
    EXPECT_EQ(record.command_line, L"WinPhlash.exe");
    EXPECT_EQ(record.uses_show_state, 1);
    EXPECT_EQ(record.show_state, SW_SHOWNORMAL);
    EXPECT_TRUE(SamePath(record.module, folder + L"\\" + kToolFile)) << record.module;
    EXPECT_TRUE(SamePath(record.current_folder, other_folder_)) << record.current_folder;
    EXPECT_EQ(record.foreground, 1) << "the flasher's window should have the focus";
    return record;
  }

  std::wstring program_folder_;
  std::wstring other_folder_;
};

// ---- Boards whose version does not begin with "41": the warning, and nothing started.
// How the box is closed does not depend on the board, so one board's row closes it each way.

class WarningPath : public CodePath, public ::testing::WithParamInterface<CloseBy> {};

TEST_P(WarningPath, ShowsTheWarningAndEndsWhenClosed) { RunAndCloseBy(GetParam()); }

INSTANTIATE_TEST_SUITE_P(EachWay, WarningPath,
                         ::testing::Values(CloseBy::Ok, CloseBy::Escape, CloseBy::CloseCommand),
                         [](const ::testing::TestParamInfo<CloseBy>& param) {
                           return RowName(param.param);
                         });

// ---- Started where nobody can see a window (a service's window station, a task run without
// a logged-on user), the box would wait forever for a person to close it. Wine marks a window
// station made by CreateWindowStationW not visible, as Windows marks a service's.

// A window station of this test's own with one desktop, "station\Default".
class HiddenDesktop {
 public:
  HiddenDesktop() {
    const std::wstring station_name = L"FlashGateHidden" + std::to_wstring(GetCurrentProcessId());
    station_ = CreateWindowStationW(station_name.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
    if (station_ == nullptr) return;
    // A desktop is made on the calling process's window station.
    const HWINSTA own = GetProcessWindowStation();
    if (!SetProcessWindowStation(station_)) return;
    desktop_ = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(own);
    if (desktop_ != nullptr) name_ = station_name + L"\\Default";
  }
  ~HiddenDesktop() {
    if (desktop_ != nullptr) CloseDesktop(desktop_);
    if (station_ != nullptr) CloseWindowStation(station_);
  }
  HiddenDesktop(const HiddenDesktop&) = delete;
  HiddenDesktop& operator=(const HiddenDesktop&) = delete;

  const std::wstring& Name() const { return name_; }  // empty where it could not be made

  // The top-level windows of process `pid` on it, shown or not.
  std::vector<HWND> WindowsOf(DWORD pid) const {
    WindowsOfProcess found = {pid, {}};
    EnumDesktopWindows(desktop_, CollectWindowOf, reinterpret_cast<LPARAM>(&found));
    return found.windows;
  }

 private:
  struct WindowsOfProcess {
    DWORD pid;
    std::vector<HWND> windows;
  };
  static BOOL CALLBACK CollectWindowOf(HWND window, LPARAM param) {
    auto& found = *reinterpret_cast<WindowsOfProcess*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == found.pid) found.windows.push_back(window);
    return TRUE;
  }

  HWINSTA station_ = nullptr;
  HDESK desktop_ = nullptr;
  std::wstring name_;
};

class NobodyLooks : public CodePath {};

TEST_F(NobodyLooks, TheRunEndsPromptlyWithNothingShownOrStarted) {
  ASSERT_TRUE(PlaceStandInIn(program_folder_));
  const auto files_before = ListFolder(program_folder_);
  const HiddenDesktop hidden;
  ASSERT_FALSE(hidden.Name().empty()) << "no window station and desktop could be made";
  ProgramRun run;
  ASSERT_TRUE(run.Start(ProgramPath(), program_folder_, hidden.Name()));

  std::vector<HWND> windows;
  const bool ended = WaitUntil(kPromptly, 10, [&] {
    if (windows.empty()) windows = hidden.WindowsOf(run.Id());
    if (windows.empty()) windows = run.VisibleWindows();
    return run.WaitForExit(0);
  });
  EXPECT_TRUE(ended) << "still running after " << kPromptly << " ms";
  for (HWND window : windows) {
    wchar_t class_name[64] = L"";
    GetClassNameW(window, class_name, 64);
    ADD_FAILURE() << "a window of class " << class_name << " was made";
  }
  EXPECT_FALSE(FlasherStarted(record_)) << "the flasher was started";
  EXPECT_EQ(run.Output(), "");
  EXPECT_EQ(ListFolder(program_folder_), files_before) << "wrote into the program's folder";
}

// ---- A board whose version begins with "41": the flasher, and nothing shown.

class SupportedPath : public CodePath {};

// Started from another folder, it starts the tool beside itself, in a folder of any name.
TEST_F(SupportedPath, StartsTheOneBesideItInANonAsciiFolder) {
  const std::wstring folder = NewFolder(L"Flash \x03A9\x00E9\x6E2C\x8A66");
  ASSERT_FALSE(folder.empty());
  ASSERT_TRUE(PlaceProgramIn(folder));
  ASSERT_TRUE(PlaceStandInIn(folder));
  RunFromTheOtherFolder();
  const StandInRecord record = ExpectStartedAsAsked(folder);
  EXPECT_TRUE(ProcessIsRunning(record.pid)) << "the flasher must outlive the program";
}

TEST_F(SupportedPath, TheOneBesideWinsOverTheCurrentFolder) {
  ASSERT_TRUE(PlaceStandInIn(program_folder_));
  ASSERT_TRUE(PlaceStandInIn(other_folder_));
  RunFromTheOtherFolder();
  ExpectStartedAsAsked(program_folder_);
}

// A tool that cannot be started ends the run without a word (the other reasons than "no
// program" are elevation_fallback_test's rows).
TEST_F(SupportedPath, AFlasherThatIsNoProgramEndsSilently) {
  const std::wstring fake = program_folder_ + L"\\" + kToolFile;
  HANDLE file = CreateFileW(fake.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const char text[] = "not a program\r\n";
  DWORD written = 0;
  WriteFile(file, text, sizeof(text) - 1, &written, nullptr);
  CloseHandle(file);
  RunFromTheOtherFolder();
  EXPECT_FALSE(FlasherStarted(record_)) << "something was started";
}

// ---- What Wine cannot show by its behaviour, its traces show: the calls the program's own
// code makes, with their arguments, as Wine's relay trace records them (limited to the
// functions below), and the order in which the version 6 controls and the box come.

// The functions whose calls the relay trace records, as Wine's RelayInclude setting names them.
constexpr wchar_t kRelayed[] =
    L"kernel32.SetDefaultDllDirectories;kernel32.SetDllDirectoryW;kernel32.SetErrorMode;"
    L"kernel32.LoadLibraryW;kernel32.LoadLibraryExW;kernel32.CreateProcessW;combase.CoInitializeEx;"
    L"ole32.CoGetObject;combase.CoUninitialize;user32.MessageBoxW";

// What one process of the program left in the trace.
struct ProgramTrace {
  // The calls of the relayed functions that its own code made, in order, as Wine prints
  // them without the module ("SetErrorMode(00008003)"), texts without their pointers.
  std::vector<std::string> calls;
  // Before the box (or the end, where there was none): each comctl32 loaded, by its path,
  // and the classes InitCommonControlsEx was asked for (0: not called).
  std::vector<std::string> comctl32_loads;
  unsigned long initialised_classes = 0;
};

// The image's size, read from the headers of its file.
ULONGLONG ImageSize(const std::wstring& program) {
  std::ifstream file(program.c_str(), std::ios::binary);
  IMAGE_DOS_HEADER dos = {};
  IMAGE_NT_HEADERS nt = {};
  file.read(reinterpret_cast<char*>(&dos), sizeof(dos));
  file.seekg(dos.e_lfanew).read(reinterpret_cast<char*>(&nt), sizeof(nt));
  return file ? nt.OptionalHeader.SizeOfImage : 0;
}

// Lines "PID:TID:trace:loaddll:... Loaded L"...\\FlashGate.exe" at BASE: native" and
// "PID:TID:Call MODULE.Function(ARGS) ret=ADDRESS", where a text argument is "POINTER L"TEXT"".
ProgramTrace ReadTrace(const std::wstring& trace_file, DWORD pid, const std::wstring& program) {
  char prefix[16];
  std::snprintf(prefix, sizeof(prefix), "%04lx:", static_cast<unsigned long>(pid));
  const ULONGLONG size = ImageSize(program);
  ULONGLONG image = 0;
  bool box_shown = false;
  ProgramTrace trace;
  std::ifstream in(trace_file.c_str());
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 5, prefix) != 0) continue;
    const std::string rest = line.substr(line.find(':', 5) + 1);
    const size_t ret = rest.rfind(") ret=");
    if (rest.find("trace:loaddll:") == 0 && rest.find("FlashGate.exe\" at ") != std::string::npos) {
      image = std::strtoull(rest.c_str() + rest.find("\" at ") + 5, nullptr, 16);
    } else if (rest.find("trace:loaddll:") == 0 && rest.find("comctl32.dll") != std::string::npos &&
               !box_shown) {
      const size_t quote = rest.find('"') + 1;
      trace.comctl32_loads.push_back(rest.substr(quote, rest.find('"', quote) - quote));
    } else if (rest.find("trace:commctrl:InitCommonControlsEx ") == 0 && !box_shown) {
      trace.initialised_classes = std::stoul(rest.substr(rest.rfind(' ') + 1), nullptr, 16);
    } else if (rest.find("Call ") == 0 && ret != std::string::npos &&
               rest.find(' ', 5) > rest.find('(')) {  // not "Call window proc ..."
      const ULONGLONG from = std::strtoull(rest.c_str() + ret + 6, nullptr, 16);
      if (image == 0 || from < image || from >= image + size) continue;  // a library's call
      const size_t dot = rest.find('.');
      std::string call = rest.substr(dot + 1, ret + 1 - dot - 1);
      for (size_t text; (text = call.find(" L\"")) != std::string::npos;) {
        const size_t pointer = call.find_last_of("(,", text) + 1;
        call.erase(pointer, text + 1 - pointer);
      }
      box_shown = box_shown || call.find("MessageBoxW(") == 0;
      trace.calls.push_back(call);
    }
  }
  return trace;
}

// Whether `text` matches `pattern`, in which "*" stands for any run of characters.
bool Matches(const char* text, const char* pattern) {
  if (*pattern == '*') return Matches(text, pattern + 1) || (*text && Matches(text + 1, pattern));
  return *pattern == *text && (*text == '\0' || Matches(text + 1, pattern + 1));
}

// The calls must be these patterns, in order, and nothing else.
void ExpectCalls(const std::vector<std::string>& calls, const std::vector<std::string>& patterns) {
  bool same = calls.size() == patterns.size();
  for (size_t i = 0; same && i < calls.size(); ++i) same = Matches(calls[i].c_str(), patterns[i].c_str());
  std::string printed;
  for (const std::string& call : calls) printed += "\n  " + call;
  EXPECT_TRUE(same) << "the program's own calls:" << printed;
}

// The process starts narrowed to System32 for DLLs (LOAD_LIBRARY_SEARCH_SYSTEM32, 0x800),
// with Windows' error boxes silenced (SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
// SEM_NOOPENFILEERRORBOX, 0x8003), brings COM up in a single-threaded apartment, as WMI's
// scripting objects and the shell want it (COINIT_APARTMENTTHREADED |
// COINIT_DISABLE_OLE1DDE, 6), and binds WMI on the local machine's root\cimv2; it takes COM
// down at the end. Texts are as Wine prints them, their backslashes doubled; "*" stands for
// a pointer.
const std::vector<std::string> kStart = {
    "SetDefaultDllDirectories(00000800)",
    "SetErrorMode(00008003)",
    "CoInitializeEx(00000000,00000006)",
    R"(CoGetObject(L"winmgmts:\\\\.\\root\\cimv2",00000000,*,*))",
};

class TracedPath : public CodePath {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(CodePath::SetUp());
    trace_file_ = WindowsPath(Variable(L"FLASHGATE_TRACE"));
    ASSERT_FALSE(trace_file_.empty())
        << "FLASHGATE_TRACE must name the file that this test's standard error goes to";
    debug_ = Variable(L"WINEDEBUG");
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Debug", L"RelayInclude",
                              REG_SZ, kRelayed, sizeof(kRelayed)),
              ERROR_SUCCESS);
    SetEnvironmentVariableW(L"WINEDEBUG", L"+pid,+relay,+loaddll,+commctrl");
  }

  void TearDown() override {
    SetEnvironmentVariableW(L"WINEDEBUG", debug_.c_str());
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Debug", L"RelayInclude");
    CodePath::TearDown();
  }

  ProgramTrace Trace(DWORD pid) { return ReadTrace(trace_file_, pid, ProgramPath()); }

  std::wstring trace_file_;
  std::wstring debug_;
};

// Windows XP loads the version 6 controls that the manifest asks for only when the program
// does, by the bare name that the manifest redirects, and without them the box never
// appears: comctl32 6 from the side-by-side store, initialised, before the box.
TEST_F(TracedPath, TheWarningRoad) {
  const ProgramTrace trace = Trace(RunAndCloseBy(CloseBy::Ok));
  std::vector<std::string> expected = kStart;
  expected.push_back(R"(LoadLibraryW(L"comctl32.dll"))");
  // MB_ICONEXCLAMATION | MB_OK: one OK button, application-modal, no owner.
  expected.push_back(
      R"(MessageBoxW(00000000,L"This BIOS is not for your Notebook PC.",L"WinPhlash",00000030))");
  expected.push_back("CoUninitialize()");
  ExpectCalls(trace.calls, expected);
  EXPECT_TRUE(trace.initialised_classes & ICC_STANDARD_CLASSES)
      << "InitCommonControlsEx was not asked for the standard classes before the box";
  ASSERT_FALSE(trace.comctl32_loads.empty()) << "no comctl32 was loaded before the box";
  for (const std::string& path : trace.comctl32_loads) {
    EXPECT_NE(path.find("\\\\winsxs\\\\"), std::string::npos) << "not side by side: " << path;
    EXPECT_NE(path.find("common-controls_6595b64144ccf1df_6."), std::string::npos)
        << "not version 6: " << path;
  }
}

// The tool is created by its bare name with no inherited handles and Windows' default error
// mode (CREATE_DEFAULT_ERROR_MODE, 0x4000000), in this program's current folder.
TEST_F(TracedPath, TheSupportedRoad) {
  ASSERT_TRUE(PlaceStandInIn(program_folder_));
  const ProgramTrace trace = Trace(RunFromTheOtherFolder());
  ExpectStartedAsAsked(program_folder_);
  std::vector<std::string> expected = kStart;
  expected.push_back(R"(CreateProcessW(00000000,L"WinPhlash.exe",00000000,00000000,00000000,)"
                     R"(04000000,00000000,00000000,*,*))");
  expected.push_back("CoUninitialize()");
  ExpectCalls(trace.calls, expected);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: e2e_test --gtest_filter=TESTS FLASHGATE_EXE STANDIN_EXE\n");
    return 2;
  }
  flashgate_exe = WindowsPath(argv[1]);
  standin_exe = WindowsPath(argv[2]);
  const int failed = RUN_ALL_TESTS();
  // A filter that matches nothing would pass.
  if (::testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
    std::fprintf(stderr, "e2e_test: no test matches the filter\n");
    return 1;
  }
  return failed;
}
