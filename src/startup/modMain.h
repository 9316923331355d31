#pragma once

#include "startup/board_prefix.h"

namespace modMain {

// The whole run: read the board's version, then either start the flashing tool (the
// supported notebook) or show the wrong-board warning. Runs once and returns; no failure
// on the way is reported or stops the run.
void Main() noexcept;

// True exactly when the prefix is the two units '4' then '1'. No value counts as empty text.
bool IsSupportedBoard(const BoardPrefix& prefix) noexcept;

}  // namespace modMain
