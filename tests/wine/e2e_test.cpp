// The real program under Wine, on a board set through the firmware, watched and answered
// the way a user would. Run as: e2e_test --gtest_filter=TESTS FLASHGATE_EXE STANDIN_EXE,
// where TESTS are those of the code path the board must lead to (tests/wine/CMakeLists.txt).

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "message_box.h"
#include "standin_test.h"

namespace {

using namespace wine_test;

std::wstring flashgate_exe;
std::wstring standin_exe;

// Scaled where the program runs under emulation.
const DWORD kPromptly = Scaled(5000);     // the program's whole run, Wine's start included
const DWORD kWindowWait = Scaled(20000);  // for the box to appear
// Not scaled: the stand-in always runs natively (the x86_64 one where the program is
// emulated), so once the program has ended, a stand-in it started has recorded by then.
const DWORD kStandInWouldHaveRecorded = 1500;

class CodePath : public StandInTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StandInTest::SetUp());
    program_folder_ = NewFolder(L"FlashGate");
    other_folder_ = NewFolder(L"Elsewhere");
    ASSERT_FALSE(program_folder_.empty() || other_folder_.empty());
    // Long enough to outlive the program, short enough not to hold up the next test.
    const std::wstring seconds = std::to_wstring(Scaled(2000) / 1000);
    SetEnvironmentVariableW(L"FLASHGATE_STANDIN_SECONDS", seconds.c_str());
    ASSERT_TRUE(PlaceProgramIn(program_folder_));
  }

  bool PlaceProgramIn(const std::wstring& folder) {
    program_folder_ = folder;
    return CopyFileW(flashgate_exe.c_str(), (folder + L"\\FlashGate.exe").c_str(), FALSE) != 0;
  }

  static bool PlaceStandInIn(const std::wstring& folder) {
    return CopyFileW(standin_exe.c_str(), (folder + L"\\" + kToolFile).c_str(), FALSE) != 0;
  }

  std::wstring ProgramPath() const { return program_folder_ + L"\\FlashGate.exe"; }

  // Runs the program, checks the box it shows, closes it and checks the program ended
  // without starting the flasher or writing anything beside itself.
  void RunAndCloseBy(CloseBy way) {
    ASSERT_TRUE(PlaceStandInIn(program_folder_));
    const auto files_before = ListFolder(program_folder_);
    ProgramRun run;
    ASSERT_TRUE(run.Start(ProgramPath(), program_folder_));

    HWND window = run.WaitForWindowOrExit(kWindowWait);
    ASSERT_NE(window, nullptr) << "the program ended, or showed nothing, without a warning";
    const Box box = ReadBox(window);
    EXPECT_EQ(box.caption, kWarningTitle);
    EXPECT_EQ(box.text, kWarningText);
    EXPECT_TRUE(box.exclamation_icon) << "the box must carry the exclamation icon";
    EXPECT_EQ(box.buttons, std::vector<std::wstring>{L"OK"});
    EXPECT_EQ(box.default_button_id, IDOK);
    EXPECT_EQ(box.owner, nullptr) << "the box has no owner window";
    EXPECT_EQ(run.VisibleWindows().size(), 1u) << "the box is the only window";

    Close(box, way);
    EXPECT_TRUE(run.WaitForExit(kPromptly)) << "left running after closing by " << NameOf(way);
    EXPECT_FALSE(WaitForRecord(record_, kStandInWouldHaveRecorded).found)
        << "the flasher was started";
    EXPECT_EQ(run.Output(), "");
    EXPECT_EQ(ListFolder(program_folder_), files_before) << "wrote into the program's folder";
  }

  std::wstring program_folder_;
  std::wstring other_folder_;
};

// ---- Boards whose version does not begin with "41": the warning, and nothing started.

class WarningPath : public CodePath, public ::testing::WithParamInterface<CloseBy> {};

TEST_P(WarningPath, ShowsTheWarningAndEndsWhenClosed) { RunAndCloseBy(GetParam()); }

INSTANTIATE_TEST_SUITE_P(EachWay, WarningPath,
                         ::testing::Values(CloseBy::Ok, CloseBy::Escape,
                                           CloseBy::CloseCommand));

// ---- Windows XP loads the version 6 controls that the manifest asks for only when the
// program does, and without them the box never appears. Wine traces the order on the
// thread that shows the box: each comctl32 loaded, InitCommonControlsEx with its classes,
// then the box's dialog. The traces go to the Unix standard error that the program
// inherits from this test, which its command sends to the file FLASHGATE_TRACE names.

struct ControlsTrace {
  bool box_shown = false;
  std::vector<std::string> comctl32_loads;  // their paths, as loaded before the box
  bool initialised = false;                 // InitCommonControlsEx before the box
  unsigned long classes = 0;                // and the classes it asked for
};

ControlsTrace ReadControlsTrace(const std::wstring& path) {
  std::vector<std::string> lines;
  std::ifstream in(path.c_str());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ControlsTrace trace;
  size_t box = 0;
  while (box < lines.size() && lines[box].find(":trace:dialog:") == std::string::npos) ++box;
  if (box == lines.size()) return trace;
  trace.box_shown = true;
  const std::string thread = lines[box].substr(0, lines[box].find(':') + 1);
  for (size_t i = 0; i < box; ++i) {
    const std::string& line = lines[i];
    if (line.compare(0, thread.size(), thread) != 0) continue;
    if (line.find(":trace:commctrl:InitCommonControlsEx ") != std::string::npos) {
      trace.initialised = true;
      trace.classes = std::stoul(line.substr(line.rfind(' ') + 1), nullptr, 16);
    }
    if (line.find(":trace:loaddll:") != std::string::npos &&
        line.find("comctl32.dll") != std::string::npos) {
      const size_t open = line.find('"') + 1;
      trace.comctl32_loads.push_back(line.substr(open, line.find('"', open) - open));
    }
  }
  return trace;
}

class TracedPath : public CodePath {};

TEST_F(TracedPath, TheVersion6ControlsAreReadyBeforeTheWarning) {
  const std::wstring trace_file = Variable(L"FLASHGATE_TRACE");
  ASSERT_FALSE(trace_file.empty())
      << "FLASHGATE_TRACE must name the file that this test's standard error goes to";
  const std::wstring debug = Variable(L"WINEDEBUG");
  SetEnvironmentVariableW(L"WINEDEBUG", L"+loaddll,+commctrl,+dialog");
  RunAndCloseBy(CloseBy::Ok);
  SetEnvironmentVariableW(L"WINEDEBUG", debug.c_str());
  ASSERT_FALSE(HasFatalFailure()) << "no warning to trace";

  const ControlsTrace trace = ReadControlsTrace(WindowsPath(trace_file));
  ASSERT_TRUE(trace.box_shown) << "no trace of the box's dialog";
  EXPECT_TRUE(trace.initialised) << "InitCommonControlsEx was not called before the box";
  EXPECT_TRUE(trace.classes & ICC_STANDARD_CLASSES) << "classes " << std::hex << trace.classes;
  ASSERT_FALSE(trace.comctl32_loads.empty()) << "no comctl32 was loaded before the box";
  for (const std::string& path : trace.comctl32_loads) {
    EXPECT_NE(path.find("\\\\winsxs\\\\"), std::string::npos) << "not side by side: " << path;
    EXPECT_NE(path.find("common-controls_6595b64144ccf1df_6."), std::string::npos)
        << "not version 6: " << path;
  }
}

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
  EXPECT_FALSE(WaitForRecord(record_, kStandInWouldHaveRecorded).found)
      << "the flasher was started";
  EXPECT_EQ(run.Output(), "");
  EXPECT_EQ(ListFolder(program_folder_), files_before) << "wrote into the program's folder";
}

// ---- A board whose version begins with "41": the flasher, and nothing shown.

class SupportedPath : public CodePath {
 protected:
  // Runs the program from the other folder and checks that it opened no window, wrote
  // nothing and ended promptly.
  void RunFromTheOtherFolder() {
    const auto files_before = ListFolder(program_folder_);
    ProgramRun run;
    EXPECT_TRUE(run.Start(ProgramPath(), other_folder_));
    const DWORD start = GetTickCount();
    EXPECT_EQ(run.WaitForWindowOrExit(kPromptly), nullptr) << "the program opened a window";
    EXPECT_TRUE(run.WaitForExit(0)) << "the program was left running: it did not end promptly";
    const DWORD ended_after = GetTickCount() - start;
    EXPECT_LT(ended_after, kPromptly);
    EXPECT_EQ(run.Output(), "");
    EXPECT_EQ(ListFolder(program_folder_), files_before) << "wrote into the program's folder";
  }

  // Returns what the stand-in recorded, after checking it was started from `folder` as
  // asked, in the program's current folder (the other folder).
  StandInRecord ExpectStartedAsAsked(const std::wstring& folder) {
    const StandInRecord record = WaitForRecord(record_, Scaled(5000));
    EXPECT_TRUE(record.found) << "the flasher was not started";
    if (!record.found) return record;
    EXPECT_EQ(record.command_line, kToolFile);
    EXPECT_EQ(record.uses_show_state, 1);
    EXPECT_EQ(record.show_state, SW_SHOWNORMAL);
    EXPECT_TRUE(SamePath(record.module, folder + L"\\" + kToolFile)) << record.module;
    EXPECT_TRUE(SamePath(record.current_folder, other_folder_)) << record.current_folder;
    EXPECT_EQ(record.foreground, 1) << "the flasher's window should have the focus";
    return record;
  }
};

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
  EXPECT_FALSE(WaitForRecord(record_, kStandInWouldHaveRecorded).found)
      << "something was started";
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
