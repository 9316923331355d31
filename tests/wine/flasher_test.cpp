// What only calls can show of the two ways of starting the flashing tool: the DLL search
// lifted around process creation, and the elevated start's request to the shell, against
// the stand-in (built into a folder "standin" beside this test program) placed beside the
// program, in the current folder or on PATH. How the tool is started by its name is the
// end-to-end tests' (e2e_test).

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

// The program's code is linked into this test, so its Windows calls go through this
// program's import table, where recording stand-ins can take their place. What Wine does
// not show in the started tool is read from the calls instead: it neither hands a process's
// error mode or DLL folder down nor asks for elevation, and its shell starts a program in
// the caller's folder whatever lpDirectory says.
std::vector<std::wstring> calls;  // the calls of interest, in order
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

// Where Windows' narrowing of this program's own DLL search would be handed down to the
// tool (SetDllDirectoryW(""), XP's way, which children inherit), it is lifted only around
// the tool's creation, and put back even where that fails (the road after error 740 loads
// the shell next). SetDefaultDllDirectories is per process and is left as it is.
struct DllSearchCase {
  const char* name;
  bool narrowed_by_default_dll_directories;  // else by SetDllDirectoryW(""), as on XP
  std::vector<std::wstring> calls;
};

void PrintTo(const DllSearchCase& row, std::ostream* out) { *out << row.name; }

class ProcessCreation : public ::testing::TestWithParam<DllSearchCase> {};

TEST_P(ProcessCreation, LiftsAnInheritedNarrowingOnlyAroundIt) {
  const auto set_default_dll_directories = FindExport<SetDefaultDllDirectoriesFn>(
      GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  ASSERT_NE(set_default_dll_directories, nullptr);
  calls.clear();
  {
    const RecordedImport<decltype(&CreateProcessW)> create(
        "CreateProcessW", RecordingCreateProcessW, real_create_process);
    const RecordedImport<decltype(&SetDllDirectoryW)> set_folder(
        "SetDllDirectoryW", RecordingSetDllDirectoryW, real_set_dll_directory);
    ASSERT_TRUE(create.Active() && set_folder.Active());
    NarrowDllSearch(GetParam().narrowed_by_default_dll_directories ? set_default_dll_directories
                                                                   : nullptr);
    EXPECT_NE(StartFlasherByName(), 0u) << "no tool lies anywhere it is looked for";
  }
  EXPECT_EQ(calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    DllSearch, ProcessCreation,
    ::testing::Values(
        // The empty folder narrows; null, the default search, is lifted only for a moment.
        DllSearchCase{"narrowed_by_folder", false,
                      {L"SetDllDirectoryW()", L"SetDllDirectoryW((null))", L"CreateProcessW",
                       L"SetDllDirectoryW()"}},
        DllSearchCase{"narrowed_per_process", true, {L"CreateProcessW"}}),
    [](const ::testing::TestParamInfo<DllSearchCase>& param) { return param.param.name; });

enum class Place { Beside, CurrentFolder, OnPath, Nowhere };

// After error 740, consent is asked only for the tool beside the program; a tool that lies
// only in the other places process creation searches is not offered administrator rights.
struct ElevatedCase {
  const char* name;
  Place tool;
};

void PrintTo(const ElevatedCase& row, std::ostream* out) { *out << row.name; }

class ElevatedStart : public StandInTest, public ::testing::WithParamInterface<ElevatedCase> {
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
  }

  void TearDown() override {
    SetEnvironmentVariableW(L"PATH", previous_path_.c_str());
    SetCurrentDirectoryW(previous_folder_);
    StandInTest::TearDown();
    DeleteFileW(PathIn(Place::Beside).c_str());
  }

  std::wstring PathIn(Place place) const {
    const std::wstring& folder = place == Place::Beside ? OwnFolder()
                                 : place == Place::CurrentFolder ? current_
                                                                 : on_path_;
    return folder + L"\\" + kToolFile;
  }

  std::wstring current_;
  std::wstring on_path_;
  std::wstring previous_path_;
  wchar_t previous_folder_[MAX_PATH] = {};
};

TEST_P(ElevatedStart, AsksConsentOnlyForTheToolBesideTheProgram) {
  const Place tool = GetParam().tool;
  if (tool != Place::Nowhere) {
    ASSERT_TRUE(CopyFileW(StandIn().c_str(), PathIn(tool).c_str(), FALSE));
  }
  shell_request = {};
  bool started = false;
  {
    const RecordedImport<decltype(&GetProcAddress)> lookup(
        "GetProcAddress", RecordingGetProcAddress, real_get_proc_address);
    ASSERT_TRUE(lookup.Active());
    started = StartFlasherWith({ElevationRequired, StartFlasherElevated});
  }
  const StandInRecord record = TakeRecord(tool == Place::Beside ? 5000 : 0);
  if (tool != Place::Beside) {
    EXPECT_FALSE(started);
    EXPECT_FALSE(record.found) << record.module;
    EXPECT_FALSE(shell_request.made) << "the shell was asked to start " << shell_request.file;
    return;
  }
  const std::wstring expected = PathIn(Place::Beside);
  EXPECT_TRUE(started);
  ASSERT_TRUE(record.found);
  EXPECT_TRUE(SamePath(record.module, expected)) << record.module;
  EXPECT_EQ(record.show_state, SW_SHOWNORMAL);
  EXPECT_EQ(record.command_line, L"\"" + expected + L"\"");
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
    ToolIn, ElevatedStart,
    ::testing::Values(ElevatedCase{"beside_the_program", Place::Beside},
                      ElevatedCase{"only_the_current_folder", Place::CurrentFolder},
                      ElevatedCase{"only_a_folder_on_path", Place::OnPath},
                      ElevatedCase{"nowhere", Place::Nowhere}),
    [](const ::testing::TestParamInfo<ElevatedCase>& param) { return param.param.name; });

}  // namespace
