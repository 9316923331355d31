#pragma once

#include <windows.h>
#include <oaidl.h>

#include "startup/board_prefix.h"

// Returns the WMI service object that the baseboard query runs against.
using ServiceBinder = HRESULT (*)(IDispatch** service);

// Binds the local machine's root\cimv2 through the "winmgmts:" moniker, with the
// platform's default security and locale.
HRESULT BindLocalWmiService(IDispatch** service);

// The probe itself, over whatever service the binder returns. The program always passes
// BindLocalWmiService; the tests pass stand-ins of the service to reach every failure.
BoardPrefix ReadBoardPrefixVia(ServiceBinder bind) noexcept;
