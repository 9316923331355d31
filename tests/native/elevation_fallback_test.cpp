// The elevation fallback against a fake of the two Windows calls.

#include <gtest/gtest.h>

#include <cstdint>

#include "flasher/elevation_fallback.h"

namespace {

struct FakeCalls {
  std::uint32_t create_error = 0;
  bool elevated_starts = true;
  int creates = 0;
  int elevated = 0;
};

FakeCalls fake;

std::uint32_t FakeStartByName() {
  ++fake.creates;
  return fake.create_error;
}

bool FakeStartElevated() {
  ++fake.elevated;
  return fake.elevated_starts;
}

// What process creation answers, whether consent is given, and what must follow: only
// "elevation required" (740) goes through the shell, once, and nothing is retried.
struct FallbackCase {
  const char* name;
  std::uint32_t create_error;
  bool elevated_starts;
  bool started;
  int elevated;
};

void PrintTo(const FallbackCase& row, std::ostream* out) { *out << row.name; }

class FlasherStart : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(FlasherStart, TriesTheShellOnlyAfterElevationRequired) {
  const FallbackCase& row = GetParam();
  fake = {row.create_error, row.elevated_starts};
  EXPECT_EQ(StartFlasherWith({FakeStartByName, FakeStartElevated}), row.started);
  EXPECT_EQ(fake.creates, 1);
  EXPECT_EQ(fake.elevated, row.elevated);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FlasherStart,
    ::testing::Values(FallbackCase{"a_started_process_is_the_whole_job", 0, true, true, 0},
                      FallbackCase{"elevation_required_goes_through_the_shell", 740, true, true, 1},
                      FallbackCase{"refused_consent_fails_silently", 740, false, false, 1},
                      FallbackCase{"file_not_found", 2, true, false, 0},
                      FallbackCase{"path_not_found", 3, true, false, 0},
                      FallbackCase{"access_denied", 5, true, false, 0},
                      FallbackCase{"not_a_program", 193, true, false, 0},
                      FallbackCase{"a_near_code", 741, true, false, 0},
                      FallbackCase{"cancelled", 1223, true, false, 0}),
    [](const ::testing::TestParamInfo<FallbackCase>& param) { return param.param.name; });

}  // namespace
