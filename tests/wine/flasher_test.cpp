// The two ways of starting the flashing tool, against the stand-in (built into a folder
// "standin" beside this test program), placed beside the program, in the current folder
// and on PATH.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notify/elevation_fallback.h"
#include "notify/flasher.h"
#include "standin_test.h"

namespace {

using namespace wine_test;

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring StandIn() { return OwnFolder() + L"\\standin\\WinPhlash.exe"; }

// The error mode the program runs with; the tool must not inherit it.
constexpr UINT kSilenced = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;

// Wine neither hands a process's error mode down nor honours CREATE_DEFAULT_ERROR_MODE, so
// the tool's error mode cannot show here whether the flag was asked for; the call can. The
// program's code is linked into this test, so its CreateProcessW goes through this
// program's import table, where a recording stand-in can take its place.
DWORD requested_creation_flags = 0;
decltype(&CreateProcessW) real_create_process = nullptr;

BOOL WINAPI RecordingCreateProcessW(LPCWSTR application, LPWSTR command_line,
                                    LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
                                    BOOL inherit, DWORD flags, LPVOID environment,
                                    LPCWSTR folder, LPSTARTUPINFOW startup,
                                    LPPROCESS_INFORMATION started) {
  requested_creation_flags = flags;
  return real_create_process(application, command_line, process, thread, inherit, flags,
                             environment, folder, startup, started);
}

// Points this program's import of `function` from `dll` at `replacement`; returns the
// previous target, or null when there is no such import.
void* ReplaceImport(const char* dll, const char* function, void* replacement) {
  BYTE* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  const auto* library =
      reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
  for (; library->Name != 0; ++library) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + library->Name), dll) != 0) continue;
    auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; name->u1.AddressOfData != 0; ++name, ++slot) {
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
      const auto* by_name =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
      if (lstrcmpA(reinterpret_cast<const char*>(by_name->Name), function) != 0) continue;
      DWORD protection = 0;
      VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), PAGE_READWRITE, &protection);
      void* const previous = reinterpret_cast<void*>(slot->u1.Function);
      slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), protection, &protection);
      return previous;
    }
  }
  return nullptr;
}

// Wine never asks for elevation, so "elevation required" is played by a stand-in call; the
// shell start that follows is the real one.
std::uint32_t ElevationRequired() { return kElevationRequired; }

enum class Place { Beside, CurrentFolder, OnPath };

class FlasherStart : public StandInTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StandInTest::SetUp());
    current_ = NewFolder(L"Current");
    on_path_ = NewFolder(L"OnPath");
    ASSERT_FALSE(current_.empty() || on_path_.empty());
    GetCurrentDirectoryW(MAX_PATH, previous_folder_);
    SetCurrentDirectoryW(current_.c_str());
    previous_path_ = Variable(L"PATH");
    SetEnvironmentVariableW(L"PATH", (on_path_ + L";" + previous_path_).c_str());
    previous_error_mode_ = SetErrorMode(kSilenced);
  }

  void TearDown() override {
    SetErrorMode(previous_error_mode_);
    SetEnvironmentVariableW(L"NoDefaultCurrentDirectoryInExePath", nullptr);
    SetEnvironmentVariableW(L"PATH", previous_path_.c_str());
    SetCurrentDirectoryW(previous_folder_);
    StandInTest::TearDown();
    DeleteFileW(PathIn(Place::Beside).c_str());
  }

  std::wstring PathIn(Place place) const {
    const std::wstring& folder = place == Place::Beside          ? OwnFolder()
                                 : place == Place::CurrentFolder ? current_
                                                                 : on_path_;
    return folder + L"\\WinPhlash.exe";
  }

  bool PlaceStandIn(Place place) const {
    return CopyFileW(StandIn().c_str(), PathIn(place).c_str(), FALSE) != 0;
  }

  std::wstring current_;
  std::wstring on_path_;
  std::wstring previous_path_;
  wchar_t previous_folder_[MAX_PATH] = {};
  UINT previous_error_mode_ = 0;
};

TEST_F(FlasherStart, CreatesTheProcessFromTheBareNameShownNormalWithTheDefaultErrorMode) {
  ASSERT_TRUE(PlaceStandIn(Place::Beside));
  real_create_process = reinterpret_cast<decltype(&CreateProcessW)>(ReplaceImport(
      "kernel32.dll", "CreateProcessW", reinterpret_cast<void*>(RecordingCreateProcessW)));
  ASSERT_NE(real_create_process, nullptr);
  const std::uint32_t error = CreateFlasherProcess();
  ReplaceImport("kernel32.dll", "CreateProcessW", reinterpret_cast<void*>(real_create_process));
  ASSERT_EQ(error, 0u);
  EXPECT_TRUE(requested_creation_flags & CREATE_DEFAULT_ERROR_MODE)
      << "the tool would inherit the silenced error mode";

  const StandInRecord record = TakeRecord(5000);
  ASSERT_TRUE(record.found);
  EXPECT_EQ(record.command_line, L"WinPhlash.exe");
  EXPECT_EQ(record.uses_show_state, 1);
  EXPECT_EQ(record.show_state, SW_SHOWNORMAL);
  ASSERT_GE(record.error_mode, 0);
  EXPECT_EQ(record.error_mode & kSilenced, 0) << "the tool inherited the silenced error mode";
}

// Where copies of the tool lie, and which one both ways must start (none: both fail).
struct Arrangement {
  const char* name;
  std::vector<Place> copies;
  bool current_folder_left_out;  // NoDefaultCurrentDirectoryInExePath is set
  std::vector<Place> started;    // the one copy both ways start, or none
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const Arrangement& arrangement, std::ostream* out) { *out << arrangement.name; }

class BothWays : public FlasherStart, public ::testing::WithParamInterface<Arrangement> {};

TEST_P(BothWays, StartTheSameFile) {
  const Arrangement& arrangement = GetParam();
  for (Place place : arrangement.copies) ASSERT_TRUE(PlaceStandIn(place));
  if (arrangement.current_folder_left_out) {
    SetEnvironmentVariableW(L"NoDefaultCurrentDirectoryInExePath", L"1");
  }
  const bool expect_start = !arrangement.started.empty();
  const DWORD wait = expect_start ? 5000 : 1500;

  const std::uint32_t create_error = CreateFlasherProcess();
  const StandInRecord created = TakeRecord(wait);
  const bool elevated_ok = LaunchFlasher({ElevationRequired, StartFlasherElevated});
  const StandInRecord elevated = TakeRecord(wait);

  if (!expect_start) {
    EXPECT_NE(create_error, 0u);
    EXPECT_FALSE(created.found) << created.module;
    EXPECT_FALSE(elevated_ok);
    EXPECT_FALSE(elevated.found) << elevated.module;
    return;
  }
  const std::wstring expected = PathIn(arrangement.started.front());
  EXPECT_EQ(create_error, 0u);
  EXPECT_TRUE(elevated_ok);
  ASSERT_TRUE(created.found && elevated.found);
  EXPECT_TRUE(SamePath(created.module, expected)) << "created: " << created.module;
  EXPECT_TRUE(SamePath(elevated.module, expected)) << "elevated: " << elevated.module;
  EXPECT_EQ(elevated.show_state, SW_SHOWNORMAL);
  EXPECT_EQ(elevated.command_line, L"\"" + expected + L"\"");
  // The tool may open its image relative to its working folder: both start it in ours.
  EXPECT_TRUE(SamePath(created.current_folder, current_))
      << "created: " << created.current_folder;
  EXPECT_TRUE(SamePath(elevated.current_folder, current_))
      << "elevated: " << elevated.current_folder;
}

INSTANTIATE_TEST_SUITE_P(
    Arrangements, BothWays,
    ::testing::Values(
        Arrangement{"beside_the_program", {Place::Beside}, false, {Place::Beside}},
        Arrangement{"current_folder_only", {Place::CurrentFolder}, false, {Place::CurrentFolder}},
        Arrangement{"path_only", {Place::OnPath}, false, {Place::OnPath}},
        Arrangement{"current_folder_and_path_with_the_current_folder_left_out",
                    {Place::CurrentFolder, Place::OnPath}, true, {Place::OnPath}},
        Arrangement{"current_folder_before_path",
                    {Place::CurrentFolder, Place::OnPath}, false, {Place::CurrentFolder}},
        Arrangement{"beside_before_everything",
                    {Place::Beside, Place::CurrentFolder, Place::OnPath}, false, {Place::Beside}},
        Arrangement{"nowhere", {}, false, {}}),
    [](const ::testing::TestParamInfo<Arrangement>& param) { return param.param.name; });

}  // namespace
