#pragma once

// The two ways the flashing tool is started; StartFlasher (flasher.cpp) chooses between
// them. The elevated one lives in elevated_start.cpp.

#include <cstdint>

// The tool's file name: the first way's bare command line, and the name the second way
// looks for in each folder.
inline constexpr wchar_t kFlasherFile[] = L"WinPhlash.exe";

// Creates the tool's process from the bare command line "WinPhlash.exe", shown normal and
// activated, without waiting for it. Returns 0, or the Windows error code.
std::uint32_t CreateFlasherProcess();

// Finds the file that process creation would have started and starts it through the
// shell's "runas" verb, so Windows asks the user for consent. False when it could not
// be found or started, or consent was refused.
bool StartFlasherElevated();
