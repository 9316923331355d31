// The two ways of starting the flashing tool, against the stand-in (built into a folder
// "standin" beside this test program), placed beside the program, in the current folder
// and on PATH.

#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "flasher/elevation_fallback.h"
#include "flasher/flasher.h"
#include "standin_test.h"
#include "win/dll_search.h"
#include "win/find_export.h"

namespace {

using namespace wine_test;

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring StandIn() { return OwnFolder() + L"\\standin\\" + kToolFile; }

// The error mode the program runs with; the tool must not inherit it.
constexpr UINT kSilenced = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;

// The program's code is linked into this test, so its Windows calls go through this
// program's import table, where recording stand-ins can take their place. What Wine does
// not show in the started tool is read from the calls instead: it neither hands a process's
// error mode or DLL folder down nor asks for elevation, and its shell starts a program in
// the caller's folder whatever lpDirectory says.
std::vector<std::wstring> calls;  // the calls of interest, in order
DWORD requested_creation_flags = 0;
decltype(&CreateProcessW) real_create_process = nullptr;
decltype(&SetDllDirectoryW) real_set_dll_directory = nullptr;
decltype(&GetProcAddress) real_get_proc_address = nullptr;
using ShellExecuteExWFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
ShellExecuteExWFn real_shell_execute_ex = nullptr;

// What the elevated start asked of the shell.
struct ShellRequest {
  bool made = false;
  ULONG mask = 0;
  std::wstring verb, file, parameters, directory;
  int show = -1;
};
ShellRequest shell_request;

std::wstring Text(LPCWSTR text) { return text != nullptr ? text : L"(null)"; }

BOOL WINAPI RecordingCreateProcessW(LPCWSTR application, LPWSTR command_line,
                                    LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
                                    BOOL inherit, DWORD flags, LPVOID environment,
                                    LPCWSTR folder, LPSTARTUPINFOW startup,
                                    LPPROCESS_INFORMATION started) {
  calls.push_back(L"CreateProcessW");
  requested_creation_flags = flags;
  return real_create_process(application, command_line, process, thread, inherit, flags,
                             environment, folder, startup, started);
}

BOOL WINAPI RecordingSetDllDirectoryW(LPCWSTR folder) {
  calls.push_back(L"SetDllDirectoryW(" + Text(folder) + L")");
  return real_set_dll_directory(folder);
}

BOOL WINAPI RecordingShellExecuteExW(SHELLEXECUTEINFOW* info) {
  shell_request.made = true;
  shell_request.mask = info->fMask;
  shell_request.verb = Text(info->lpVerb);
  shell_request.file = Text(info->lpFile);
  shell_request.parameters = Text(info->lpParameters);
  shell_request.directory = Text(info->lpDirectory);
  shell_request.show = info->nShow;
  return real_shell_execute_ex(info);
}

// The program looks the shell's function up at run time; the recording sits behind that.
FARPROC WINAPI RecordingGetProcAddress(HMODULE module, LPCSTR name) {
  const FARPROC found = real_get_proc_address(module, name);
  if (found == nullptr || IS_INTRESOURCE(name) || lstrcmpA(name, "ShellExecuteExW") != 0) {
    return found;
  }
  real_shell_execute_ex = reinterpret_cast<ShellExecuteExWFn>(reinterpret_cast<void (*)()>(found));
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(RecordingShellExecuteExW));
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

// A recording stand-in in this program's import table for the life of the object.
template <typename Function>
class RecordedImport {
 public:
  RecordedImport(const char* function, Function recording, Function& real)
      : function_(function),
        real_(real = reinterpret_cast<Function>(
                  ReplaceImport("kernel32.dll", function, reinterpret_cast<void*>(recording)))) {}
  ~RecordedImport() {
    if (real_ != nullptr) ReplaceImport("kernel32.dll", function_, reinterpret_cast<void*>(real_));
  }
  RecordedImport(const RecordedImport&) = delete;
  RecordedImport& operator=(const RecordedImport&) = delete;
  bool Active() const { return real_ != nullptr; }

 private:
  const char* function_;
  Function real_;
};

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
    SetEnvironmentVariableW(L"PATH", previous_path_.c_str());
    SetCurrentDirectoryW(previous_folder_);
    StandInTest::TearDown();
    DeleteFileW(PathIn(Place::Beside).c_str());
  }

  std::wstring PathIn(Place place) const {
    const std::wstring& folder = place == Place::Beside          ? OwnFolder()
                                 : place == Place::CurrentFolder ? current_
                                                                 : on_path_;
    return folder + L"\\" + kToolFile;
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

// How the program narrowed its own DLL search, whether the tool is there to start, and the
// calls process creation must make: the default search is lifted only around it, and only
// where the narrowing would be handed down to the tool.
struct DllSearchCase {
  const char* name;
  bool narrowed_by_default_dll_directories;  // else by SetDllDirectoryW(""), as on XP
  bool tool_present;
  std::vector<std::wstring> calls;
};

void PrintTo(const DllSearchCase& row, std::ostream* out) { *out << row.name; }

class ProcessCreation : public FlasherStart, public ::testing::WithParamInterface<DllSearchCase> {};

TEST_P(ProcessCreation, StartsTheBareNameAsExplorerWould) {
  const DllSearchCase& row = GetParam();
  if (row.tool_present) {
    ASSERT_TRUE(PlaceStandIn(Place::Beside));
  }
  const auto set_default_dll_directories = FindExport<SetDefaultDllDirectoriesFn>(
      GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  ASSERT_NE(set_default_dll_directories, nullptr);
  NarrowDllSearch(row.narrowed_by_default_dll_directories ? set_default_dll_directories
                                                          : nullptr);
  calls.clear();
  std::uint32_t error = 0;
  {
    const RecordedImport<decltype(&CreateProcessW)> create(
        "CreateProcessW", RecordingCreateProcessW, real_create_process);
    const RecordedImport<decltype(&SetDllDirectoryW)> set_folder(
        "SetDllDirectoryW", RecordingSetDllDirectoryW, real_set_dll_directory);
    ASSERT_TRUE(create.Active() && set_folder.Active());
    error = StartFlasherByName();
  }
  EXPECT_EQ(calls, row.calls);
  EXPECT_TRUE(requested_creation_flags & CREATE_DEFAULT_ERROR_MODE)
      << "the tool would inherit the silenced error mode";

  const StandInRecord record = TakeRecord(row.tool_present ? 5000 : 1500);
  if (!row.tool_present) {
    EXPECT_NE(error, 0u);
    EXPECT_FALSE(record.found) << record.module;
    return;
  }
  ASSERT_EQ(error, 0u);
  ASSERT_TRUE(record.found);
  EXPECT_EQ(record.command_line, kToolFile);
  EXPECT_EQ(record.uses_show_state, 1);
  EXPECT_EQ(record.show_state, SW_SHOWNORMAL);
  // On Windows, the tool's own GetErrorMode() would show the silenced mode handed down.
}

INSTANTIATE_TEST_SUITE_P(
    DllSearch, ProcessCreation,
    ::testing::Values(
        DllSearchCase{"narrowed_by_folder", false, true,
                      {L"SetDllDirectoryW((null))", L"CreateProcessW", L"SetDllDirectoryW()"}},
        // The code path after error 740 loads the shell: the narrowing must be back.
        DllSearchCase{"narrowed_by_folder_and_no_tool", false, false,
                      {L"SetDllDirectoryW((null))", L"CreateProcessW", L"SetDllDirectoryW()"}},
        DllSearchCase{"narrowed_per_process", true, true, {L"CreateProcessW"}}),
    [](const ::testing::TestParamInfo<DllSearchCase>& param) { return param.param.name; });

// Where copies of the tool lie, the one process creation starts (none: it fails), and
// whether the elevated way starts that same copy; where it does not, it asks nothing.
struct Arrangement {
  const char* name;
  std::vector<Place> copies;
  std::vector<Place> started;    // the one copy process creation starts, or none
  bool elevated_starts_it;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const Arrangement& arrangement, std::ostream* out) { *out << arrangement.name; }

class BothWays : public FlasherStart, public ::testing::WithParamInterface<Arrangement> {};

TEST_P(BothWays, StartTheSameFileAndAskConsentOnlyForTheOneBeside) {
  const Arrangement& arrangement = GetParam();
  for (Place place : arrangement.copies) ASSERT_TRUE(PlaceStandIn(place));
  const bool expect_start = !arrangement.started.empty();

  const std::uint32_t create_error = StartFlasherByName();
  const StandInRecord created = TakeRecord(expect_start ? 5000 : 1500);
  shell_request = {};
  bool elevated_ok = false;
  {
    const RecordedImport<decltype(&GetProcAddress)> lookup(
        "GetProcAddress", RecordingGetProcAddress, real_get_proc_address);
    ASSERT_TRUE(lookup.Active());
    elevated_ok = StartFlasherWith({ElevationRequired, StartFlasherElevated});
  }
  const StandInRecord elevated = TakeRecord(arrangement.elevated_starts_it ? 5000 : 1500);

  if (expect_start) {
    EXPECT_EQ(create_error, 0u);
    ASSERT_TRUE(created.found);
    EXPECT_TRUE(SamePath(created.module, PathIn(arrangement.started.front())))
        << "created: " << created.module;
  } else {
    EXPECT_NE(create_error, 0u);
    EXPECT_FALSE(created.found) << created.module;
  }
  if (!arrangement.elevated_starts_it) {
    EXPECT_FALSE(elevated_ok);
    EXPECT_FALSE(elevated.found) << elevated.module;
    EXPECT_FALSE(shell_request.made) << "the shell was asked to start " << shell_request.file;
    return;
  }
  const std::wstring expected = PathIn(arrangement.started.front());
  EXPECT_TRUE(elevated_ok);
  ASSERT_TRUE(elevated.found);
  EXPECT_TRUE(SamePath(elevated.module, expected)) << "elevated: " << elevated.module;
  EXPECT_EQ(elevated.show_state, SW_SHOWNORMAL);
  EXPECT_EQ(elevated.command_line, L"\"" + expected + L"\"");
  // The tool may open its image relative to its working folder: both start it in ours.
  EXPECT_TRUE(SamePath(created.current_folder, current_))
      << "created: " << created.current_folder;
  // On Windows, the elevated tool's own current folder would show a request without ours.
  ASSERT_TRUE(shell_request.made);
  EXPECT_EQ(shell_request.verb, L"runas");
  EXPECT_TRUE(SamePath(shell_request.file, expected)) << shell_request.file;
  EXPECT_EQ(shell_request.parameters, L"(null)");
  EXPECT_TRUE(SamePath(shell_request.directory, current_)) << shell_request.directory;
  EXPECT_EQ(shell_request.mask, static_cast<ULONG>(SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC));
  EXPECT_EQ(shell_request.show, SW_SHOWNORMAL);
}

INSTANTIATE_TEST_SUITE_P(
    Arrangements, BothWays,
    ::testing::Values(
        Arrangement{"beside_the_program", {Place::Beside}, {Place::Beside}, true},
        Arrangement{"current_folder_only", {Place::CurrentFolder}, {Place::CurrentFolder}, false},
        Arrangement{"path_only", {Place::OnPath}, {Place::OnPath}, false},
        Arrangement{"beside_before_everything",
                    {Place::Beside, Place::CurrentFolder, Place::OnPath}, {Place::Beside}, true},
        Arrangement{"nowhere", {}, {}, false}),
    [](const ::testing::TestParamInfo<Arrangement>& param) { return param.param.name; });

}  // namespace
