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

bool Start() { return StartFlasherWith({FakeStartByName, FakeStartElevated}); }

class FlasherStart : public ::testing::Test {
 protected:
  void SetUp() override { fake = FakeCalls(); }
};

TEST_F(FlasherStart, AStartedProcessIsTheWholeJob) {
  EXPECT_TRUE(Start());
  EXPECT_EQ(fake.creates, 1);
  EXPECT_EQ(fake.elevated, 0);
}

TEST_F(FlasherStart, OnlyElevationRequiredGoesThroughTheShell) {
  fake.create_error = 740;
  EXPECT_TRUE(Start());
  EXPECT_EQ(fake.creates, 1);
  EXPECT_EQ(fake.elevated, 1);
}

TEST_F(FlasherStart, RefusedConsentFailsSilently) {
  fake.create_error = 740;
  fake.elevated_starts = false;
  EXPECT_FALSE(Start());
  EXPECT_EQ(fake.elevated, 1);
}

TEST_F(FlasherStart, EveryOtherErrorEndsWithoutRetrying) {
  // file not found, path not found, access denied, not a program, and a near code
  for (std::uint32_t error : {2u, 3u, 5u, 193u, 741u, 1223u}) {
    fake = FakeCalls();
    fake.create_error = error;
    EXPECT_FALSE(Start()) << error;
    EXPECT_EQ(fake.creates, 1) << error;
    EXPECT_EQ(fake.elevated, 0) << error;
  }
}

}  // namespace
