#pragma once

#include "startup/board_prefix.h"
#include "win/raii.h"

// The board query through WMI's lower-level client interface (IWbemLocator and
// IWbemServices), as a program written straight against WMI would make it: the benchmark's
// yardstick for the program's own, script-style probe, and ./run's report of the board.

// The Version text of the last board that has one; false when no board's was read.
bool ReadLastBoardVersion(Variant& version) noexcept;

BoardPrefix ReadBoardPrefixThroughLocator() noexcept;
