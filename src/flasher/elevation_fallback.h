#pragma once

#include <cstdint>

// The two ways the flashing tool is started, apart from the Windows calls that do them.
struct FlasherStartWays {
  // Creates the tool's process from its bare file name; returns 0 on success, else the
  // Windows error code.
  std::uint32_t (*by_name)();
  // Starts the tool beside the program through the shell's "runas" verb, which asks the
  // user for consent; false when it is not there, could not be started or was refused.
  bool (*elevated)();
};

// Windows refuses to create a process whose manifest asks for administrator rights when
// the starter is not elevated (ERROR_ELEVATION_REQUIRED).
constexpr std::uint32_t kElevationRequired = 740;

// Starts the tool. Only on "elevation required" does it go through the shell so that
// Windows can ask for consent; every other failure ends there, silently.
bool StartFlasherWith(const FlasherStartWays& ways) noexcept;
