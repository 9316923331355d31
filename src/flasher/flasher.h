#pragma once

// The flashing tool's start: StartFlasher (declared with the other operations Main calls)
// starts it by name and, only where Windows asks for elevation, elevated
// (StartFlasherWith). The elevated way lives in elevated_start.cpp.

#include <cstdint>

// The tool's file name: the first way's bare command line, and the name the second way
// looks for beside the program.
inline constexpr wchar_t kFlasherFile[] = L"WinPhlash.exe";

// Creates the tool's process from the bare command line kFlasherFile, shown normal and
// activated, without waiting for it. Returns 0, or the Windows error code.
std::uint32_t StartFlasherByName();

// Starts the tool in this program's own folder, the file that process creation finds first,
// through the shell's "runas" verb, so Windows asks the user for consent. False when it is
// not there, could not be started, or consent was refused.
bool StartFlasherElevated();
