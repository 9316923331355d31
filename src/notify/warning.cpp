#include <windows.h>

#include "startup/platform_ops.h"

bool ShowWrongBoardWarning() noexcept {
  // MB_ICONEXCLAMATION | MB_OK (48): one OK button, application-modal, no owner, no help.
  // Which way the box was closed does not matter; 0 means it could not be shown.
  return MessageBoxW(nullptr, L"This BIOS is not for your Notebook PC.", L"WinPhlash",
                     MB_ICONEXCLAMATION | MB_OK) != 0;
}
