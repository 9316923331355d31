// The process entry: makes the process safe to run from a crowded folder, brings COM up on
// the one thread, runs Main and takes COM down again. The exit status is left at zero.

#include <windows.h>
#include <objbase.h>

#include "startup/modMain.h"
#include "win/find_export.h"

namespace {

// Keeps DLLs loaded at run time out of the program's and the current folder (it is usually
// run from a downloads folder, where anything may lie). SetDefaultDllDirectories restricts
// the search to System32. XP, Vista and 7 without KB2533623 lack it; there SetDllDirectoryW
// takes only the current folder out, and the program's own folder still comes first for a
// DLL loaded by bare name that is not a KnownDLL.
void HardenDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto set_default_dll_directories = FindExport<SetDefaultDllDirectoriesFn>(
      GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (set_default_dll_directories != nullptr &&
      set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    return;
  }
  SetDllDirectoryW(L"");
}

// Nothing but the warning may ever appear: no "insert a disk" box when a search touches an
// empty drive, no box for a file that cannot be opened, no crash dialog.
void SilenceSystemErrorBoxes() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  HardenDllSearch();
  SilenceSystemErrorBoxes();

  // WMI's scripting objects and the shell want a single-threaded apartment. If COM cannot
  // come up, Main still runs: the probe then reads nothing and the warning follows.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  modMain::Main();
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}
