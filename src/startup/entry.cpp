// The process entry: makes the process safe to run from a crowded folder, brings COM up on
// the one thread, runs Main and takes COM down again. The exit status is left at zero.

#include <windows.h>
#include <objbase.h>

#include "startup/modMain.h"
#include "win/dll_search.h"

namespace {

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
