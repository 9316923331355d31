// The real program under Wine, on a board set through the firmware, watched and answered
// the way a person would. Run as: e2e_test --gtest_filter=ROAD.* FLASHGATE_EXE STANDIN_EXE

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <fstream>
#include <string>
#include <vector>

#include "person.h"

namespace {

std::wstring flashgate_exe;
std::wstring standin_exe;

// Scaled where the program runs under emulation.
const DWORD kPromptly = person::Scaled(5000);     // the program's whole run, Wine's start included
const DWORD kWindowWait = person::Scaled(20000);  // for the box to appear

class Road : public ::testing::Test {
 protected:
  void SetUp() override {
    program_folder_ = person::MakeFolder(L"FlashGate");
    other_folder_ = person::MakeFolder(L"Elsewhere");
    records_folder_ = person::MakeFolder(L"Records");
    ASSERT_FALSE(program_folder_.empty() || other_folder_.empty() || records_folder_.empty());
    record_ = records_folder_ + L"\\standin.txt";
    SetEnvironmentVariableW(L"FLASHGATE_STANDIN_RECORD", record_.c_str());
    // Long enough to outlive the program, short enough not to hold up the next test.
    const std::wstring seconds = std::to_wstring(person::Scaled(2000) / 1000);
    SetEnvironmentVariableW(L"FLASHGATE_STANDIN_SECONDS", seconds.c_str());
    ASSERT_TRUE(PlaceProgramIn(program_folder_));
  }

  void TearDown() override {
    // A stand-in still running keeps its file busy; let it finish first.
    const person::StandInRecord record = person::WaitForRecord(record_, 0);
    for (int i = 0; record.found && person::ProcessIsRunning(record.pid) && i < 100; ++i) Sleep(person::Scaled(50));
    for (const std::wstring& folder : {program_folder_, other_folder_, records_folder_}) {
      person::RemoveFolder(folder);
    }
  }

  bool PlaceProgramIn(const std::wstring& folder) {
    program_folder_ = folder;
    return CopyFileW(flashgate_exe.c_str(), (folder + L"\\FlashGate.exe").c_str(), FALSE) != 0;
  }

  static bool PlaceStandInIn(const std::wstring& folder) {
    return CopyFileW(standin_exe.c_str(), (folder + L"\\WinPhlash.exe").c_str(), FALSE) != 0;
  }

  std::wstring ProgramPath() const { return program_folder_ + L"\\FlashGate.exe"; }

  std::wstring program_folder_;
  std::wstring other_folder_;
  std::wstring records_folder_;
  std::wstring record_;
};

// ---- Boards whose version does not begin with "41": the warning, and nothing started.

class WarningRoad : public Road, public ::testing::WithParamInterface<person::CloseBy> {
 protected:
  // Runs the program, checks the box it shows, closes it and checks the program ended
  // without starting the flasher or writing anything beside itself.
  void RunAndCloseBy(person::CloseBy way) {
    ASSERT_TRUE(PlaceStandInIn(program_folder_));
    const auto files_before = person::ListFolder(program_folder_);
    person::ProgramRun run;
    ASSERT_TRUE(run.Start(ProgramPath(), program_folder_));

    HWND window = run.WaitForWindowOrExit(kWindowWait);
    ASSERT_NE(window, nullptr) << "the program ended, or showed nothing, without a warning";
    const person::Box box = person::ReadBox(window);
    EXPECT_EQ(box.caption, person::kWarningTitle);
    EXPECT_EQ(box.text, person::kWarningText);
    EXPECT_TRUE(box.exclamation_icon) << "the box must carry the exclamation icon";
    EXPECT_EQ(box.buttons, std::vector<std::wstring>{L"OK"});
    EXPECT_EQ(box.default_button_id, IDOK);
    EXPECT_EQ(box.owner, nullptr) << "the box has no owner window";
    EXPECT_EQ(run.VisibleWindows().size(), 1u) << "the box is the only window";

    person::Close(box, way);
    EXPECT_TRUE(run.WaitForExit(kPromptly)) << "still running after closing by " << person::NameOf(way);
    EXPECT_FALSE(person::WaitForRecord(record_, person::Scaled(1000)).found) << "the flasher was started";
    EXPECT_EQ(run.Output(), "");
    EXPECT_EQ(person::ListFolder(program_folder_), files_before);
  }
};

TEST_P(WarningRoad, ShowsTheWarningAndEndsWhenClosed) { RunAndCloseBy(GetParam()); }

INSTANTIATE_TEST_SUITE_P(EachWay, WarningRoad,
                         ::testing::Values(person::CloseBy::Ok, person::CloseBy::Escape,
                                           person::CloseBy::CloseCommand));

TEST_F(Road, WarningTwiceInARowIsTheSame) {
  for (int run = 0; run < 2; ++run) {
    person::ProgramRun program;
    ASSERT_TRUE(program.Start(ProgramPath(), program_folder_));
    HWND window = program.WaitForWindowOrExit(kWindowWait);
    ASSERT_NE(window, nullptr) << "run " << run;
    EXPECT_EQ(person::ReadBox(window).text, person::kWarningText);
    person::Close(person::ReadBox(window), person::CloseBy::Ok);
    EXPECT_TRUE(program.WaitForExit(kPromptly));
  }
}

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

class TracedRoad : public Road {};

TEST_F(TracedRoad, TheVersion6ControlsAreReadyBeforeTheWarning) {
  wchar_t trace_file[MAX_PATH] = {};
  ASSERT_NE(GetEnvironmentVariableW(L"FLASHGATE_TRACE", trace_file, MAX_PATH), 0u)
      << "FLASHGATE_TRACE must name the file that this test's standard error goes to";
  wchar_t debug[256] = {};
  GetEnvironmentVariableW(L"WINEDEBUG", debug, 256);
  SetEnvironmentVariableW(L"WINEDEBUG", L"+loaddll,+commctrl,+dialog");
  person::ProgramRun run;
  const bool started = run.Start(ProgramPath(), program_folder_);
  SetEnvironmentVariableW(L"WINEDEBUG", debug);
  ASSERT_TRUE(started);
  HWND window = run.WaitForWindowOrExit(kWindowWait);
  ASSERT_NE(window, nullptr);
  person::Close(person::ReadBox(window), person::CloseBy::Ok);
  ASSERT_TRUE(run.WaitForExit(kPromptly));

  const ControlsTrace trace = ReadControlsTrace(person::WindowsPath(trace_file));
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

// ---- A board whose version begins with "41": the flasher, and nothing shown.

class SupportedRoad : public Road {
 protected:
  // Runs the program from `current_folder` and checks that it opened no window, wrote
  // nothing and ended promptly.
  void RunFrom(const std::wstring& current_folder) {
    const auto files_before = person::ListFolder(program_folder_);
    person::ProgramRun run;
    EXPECT_TRUE(run.Start(ProgramPath(), current_folder));
    const DWORD start = GetTickCount();
    EXPECT_EQ(run.WaitForWindowOrExit(kPromptly), nullptr) << "the program opened a window";
    EXPECT_TRUE(run.WaitForExit(0)) << "the program did not end promptly";
    const DWORD ended_after = GetTickCount() - start;
    EXPECT_LT(ended_after, kPromptly);
    EXPECT_EQ(run.Output(), "");
    EXPECT_EQ(person::ListFolder(program_folder_), files_before);
  }

  // Gives what the stand-in recorded, after checking it was started from `folder` as asked.
  person::StandInRecord ExpectStartedAsAsked(const std::wstring& folder) {
    const person::StandInRecord record = person::WaitForRecord(record_, person::Scaled(5000));
    EXPECT_TRUE(record.found) << "the flasher was not started";
    if (!record.found) return record;
    EXPECT_EQ(record.command_line, L"WinPhlash.exe");
    EXPECT_EQ(record.uses_show_state, 1);
    EXPECT_EQ(record.show_state, SW_SHOWNORMAL);
    EXPECT_TRUE(person::SamePath(record.module, folder + L"\\WinPhlash.exe")) << record.module;
    EXPECT_EQ(record.foreground, 1) << "the flasher's window should have the focus";
    return record;
  }

  // The program has ended; a flasher it started would have recorded itself by now.
  void ExpectNothingStarted() {
    EXPECT_FALSE(person::WaitForRecord(record_, person::Scaled(1500)).found) << "something was started";
  }
};

TEST_F(SupportedRoad, StartsTheFlasherBesideItAndEndsBeforeIt) {
  ASSERT_TRUE(PlaceStandInIn(program_folder_));
  RunFrom(program_folder_);
  const person::StandInRecord record = ExpectStartedAsAsked(program_folder_);
  EXPECT_TRUE(person::ProcessIsRunning(record.pid)) << "the flasher must outlive the program";
}

TEST_F(SupportedRoad, TheOneBesideWinsOverTheCurrentFolder) {
  ASSERT_TRUE(PlaceStandInIn(program_folder_));
  ASSERT_TRUE(PlaceStandInIn(other_folder_));
  RunFrom(other_folder_);
  ExpectStartedAsAsked(program_folder_);
}

TEST_F(SupportedRoad, FindsTheOneBesideFromAnotherCurrentFolder) {
  ASSERT_TRUE(PlaceStandInIn(program_folder_));
  RunFrom(other_folder_);
  ExpectStartedAsAsked(program_folder_);
}

TEST_F(SupportedRoad, FallsBackToTheCurrentFolder) {
  ASSERT_TRUE(PlaceStandInIn(other_folder_));
  RunFrom(other_folder_);
  ExpectStartedAsAsked(other_folder_);
}

TEST_F(SupportedRoad, WorksFromAFolderWithNonAsciiLetters) {
  const std::wstring folder = person::MakeFolder(L"Flash \x03A9\x00E9\x6E2C\x8A66");
  ASSERT_FALSE(folder.empty());
  const std::wstring plain_folder = program_folder_;
  ASSERT_TRUE(PlaceProgramIn(folder));
  ASSERT_TRUE(PlaceStandInIn(folder));
  RunFrom(other_folder_);
  ExpectStartedAsAsked(folder);
  person::RemoveFolder(plain_folder);
}

TEST_F(SupportedRoad, NoFlasherAnywhereEndsSilently) {
  RunFrom(other_folder_);
  ExpectNothingStarted();
}

TEST_F(SupportedRoad, AFlasherThatIsNoProgramEndsSilently) {
  const std::wstring fake = program_folder_ + L"\\WinPhlash.exe";
  HANDLE file = CreateFileW(fake.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const char text[] = "not a program\r\n";
  DWORD written = 0;
  WriteFile(file, text, sizeof(text) - 1, &written, nullptr);
  CloseHandle(file);
  RunFrom(other_folder_);
  ExpectNothingStarted();
}

TEST_F(SupportedRoad, TwiceInARowIsTheSame) {
  ASSERT_TRUE(PlaceStandInIn(program_folder_));
  for (int run = 0; run < 2; ++run) {
    DeleteFileW(record_.c_str());
    RunFrom(program_folder_);
    ExpectStartedAsAsked(program_folder_);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: e2e_test [gtest options] FLASHGATE_EXE STANDIN_EXE\n");
    return 2;
  }
  const auto widen = [](const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], length);
    wide.resize(wide.size() - 1);
    return person::WindowsPath(wide);
  };
  flashgate_exe = widen(argv[1]);
  standin_exe = widen(argv[2]);
  return RUN_ALL_TESTS();
}
