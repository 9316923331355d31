#pragma once

#include "startup/board_prefix.h"

// The board query through WMI's lower-level client interface (IWbemLocator and
// IWbemServices), as a program written straight against WMI would make it: the yardstick
// for the program's own, script-style probe.
BoardPrefix ReadBoardPrefixThroughLocator() noexcept;
