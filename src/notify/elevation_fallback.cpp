#include "notify/elevation_fallback.h"

bool LaunchFlasher(const FlasherLaunchCalls& calls) noexcept {
  const std::uint32_t error = calls.create_process();
  if (error == 0) return true;
  if (error != kElevationRequired) return false;
  return calls.start_elevated();
}
