#include <windows.h>
#include <commctrl.h>

#include "startup/platform_ops.h"
#include "win/find_export.h"

namespace {

// The manifest asks for version 6 of the common controls, so the box's button and text are
// version 6 classes. Windows XP has those only once comctl32 6 is loaded and initialised
// (later Windows load it on demand); without them the box is never shown. The bare name
// lets the manifest redirect the load to the side-by-side version 6 before any folder is
// searched: a full path would load version 5 from System32. It stays loaded: its classes
// stay registered and theme or input-method hooks may still point into it after the box,
// and the process ends moments later.
void PrepareCommonControls() {
  const HMODULE controls = LoadLibraryW(L"comctl32.dll");
  using InitCommonControlsExFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  const auto init = FindExport<InitCommonControlsExFn>(controls, "InitCommonControlsEx");
  if (init != nullptr) {
    const INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_STANDARD_CLASSES};
    init(&classes);
  }
}

// Whether the process's window station is one that no person can see, such as a service's
// or that of a task run without a logged-on user: a box there could never be closed, and
// the run would never end. Where the flags cannot be read, the box is shown.
bool NobodyCanSeeWindows() {
  const HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags = {};
  return station != nullptr &&
         GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr) &&
         !(flags.dwFlags & WSF_VISIBLE);
}

}  // namespace

bool ShowWrongBoardWarning() noexcept {
  if (NobodyCanSeeWindows()) return false;
  PrepareCommonControls();
  // MB_ICONEXCLAMATION | MB_OK (48): one OK button, application-modal, no owner, no help.
  // Which way the box was closed does not matter; 0 means it could not be shown.
  return MessageBoxW(nullptr, L"This BIOS is not for your Notebook PC.", L"WinPhlash",
                     MB_ICONEXCLAMATION | MB_OK) != 0;
}
