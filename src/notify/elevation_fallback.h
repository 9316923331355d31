#pragma once

#include <cstdint>

// How the flashing tool is started, apart from the Windows calls that do it.
struct FlasherLaunchCalls {
  // Creates the tool's process from its bare file name; returns 0 on success, else the
  // Windows error code.
  std::uint32_t (*create_process)();
  // Starts the file that the search finds through the shell's "runas" verb, which asks
  // the user for consent; false when it could not be found, started or was refused.
  bool (*start_elevated)();
};

// Windows refuses to create a process whose manifest asks for administrator rights when
// the starter is not elevated (ERROR_ELEVATION_REQUIRED).
constexpr std::uint32_t kElevationRequired = 740;

// Starts the tool. Only on "elevation required" does it go through the shell so that
// Windows can ask for consent; every other failure ends there, silently.
bool LaunchFlasher(const FlasherLaunchCalls& calls) noexcept;
