#include "flasher/elevation_fallback.h"

bool StartFlasherWith(const FlasherStartWays& ways) noexcept {
  const std::uint32_t error = ways.by_name();
  if (error == 0) return true;
  if (error != kElevationRequired) return false;
  return ways.elevated();
}
