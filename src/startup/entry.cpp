// The process entry: makes the process safe to run from a crowded folder, brings COM up on
// the one thread, runs Main and takes COM down again. The exit status is left at zero.

#include <windows.h>
#include <objbase.h>

#include "startup/modMain.h"

namespace {

// Restricts implicit DLL loading to System32, so a DLL planted beside the program (it is
// usually run from a downloads folder) is never picked up. SetDefaultDllDirectories is
// missing on XP, Vista and unpatched 7, so it is looked up; without it the run goes on.
void RestrictDllSearchToSystem32() {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return;
  FARPROC found = GetProcAddress(kernel32, "SetDefaultDllDirectories");
  if (found == nullptr) return;
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  // The detour through a plain function pointer type is how GCC accepts a FARPROC cast.
  auto set_default_dll_directories =
      reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(found));
  set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Nothing but the warning may ever appear: no "insert a disk" box when a search touches an
// empty drive, no box for a file that cannot be opened, no crash dialog.
void SilenceSystemErrorBoxes() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  RestrictDllSearchToSystem32();
  SilenceSystemErrorBoxes();

  // WMI's scripting objects and the shell want a single-threaded apartment. If COM cannot
  // come up, Main still runs: the probe then reads nothing and the warning follows.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  modMain::Main();
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}
