#pragma once

// The three operations that Main calls, each at most once per run. They live in
// src/board, src/warning and src/flasher; the native tests link recording fakes in their place.

#include "startup/board_prefix.h"

// Asks WMI for the main board's version and keeps the prefix of the last board whose
// Version could be read. Never fails outward: it returns no value when nothing was read.
BoardPrefix ReadBoardPrefix() noexcept;

// Shows the modal wrong-board warning and returns once the user has closed it.
// False when the box could not be shown.
bool ShowWrongBoardWarning() noexcept;

// Starts the flashing tool and returns at once, without waiting for it.
// False when the tool could not be started.
bool StartFlasher() noexcept;
