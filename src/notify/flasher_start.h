#pragma once

// The two ways the flashing tool is started; StartFlasher chooses between them.

#include <cstdint>

// Creates the tool's process from the bare command line "WinPhlash.exe", shown normal and
// activated, without waiting for it. Gives 0, or the Windows error code.
std::uint32_t CreateFlasherProcess();

// Finds the file that process creation would have started and starts it through the
// shell's "runas" verb, so Windows asks the person for consent. False when it could not
// be found or started, or consent was refused.
bool StartFlasherElevated();
