// The reference program: the same job as FlashGate.exe, done the most direct way, to
// show what the program's own way of asking WMI costs beside it.

#include <windows.h>
#include <objbase.h>

#include "flasher/flasher.h"
#include "startup/modMain.h"
#include "startup/platform_ops.h"
#include "wbem_query.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 0;
  if (modMain::IsSupportedBoard(ReadBoardPrefixThroughLocator())) {
    StartFlasherByName();
  } else {
    ShowWrongBoardWarning();
  }
  CoUninitialize();
  return 0;
}
