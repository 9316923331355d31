// Main against recording fakes of the three operations it calls.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "startup/modMain.h"
#include "startup/platform_ops.h"

namespace {

struct FakePlatform {
  BoardPrefix board;
  bool warning_shows = true;
  bool flasher_starts = true;
  std::vector<std::string> calls;
};

FakePlatform platform;

class MainSequence : public ::testing::Test {
 protected:
  void SetUp() override { platform = FakePlatform(); }

  static void Board(const std::u16string& version) {
    platform.board = BoardPrefix::CutFrom(version.data(), version.size());
  }

  static std::vector<std::string> Run() {
    platform.calls.clear();
    modMain::Main();
    return platform.calls;
  }

  using Calls = std::vector<std::string>;
};

TEST_F(MainSequence, SupportedBoardStartsTheFlasherAndShowsNothing) {
  Board(u"41ABC");
  EXPECT_EQ(Run(), (Calls{"ReadBoardPrefix", "StartFlasher"}));
}

TEST_F(MainSequence, EveryOtherBoardOnlyWarns) {
  for (const char16_t* version : {u"", u"4", u"1", u"14", u"40", u" 41"}) {
    Board(version);
    EXPECT_EQ(Run(), (Calls{"ReadBoardPrefix", "ShowWrongBoardWarning"}));
  }
  platform.board = BoardPrefix();
  EXPECT_EQ(Run(), (Calls{"ReadBoardPrefix", "ShowWrongBoardWarning"}));
}

TEST_F(MainSequence, AWarningThatCannotBeShownStillNeverStartsTheFlasher) {
  Board(u"40");
  platform.warning_shows = false;
  EXPECT_EQ(Run(), (Calls{"ReadBoardPrefix", "ShowWrongBoardWarning"}));
}

TEST_F(MainSequence, AFlasherThatCannotBeStartedEndsTheRunWithoutAWarning) {
  Board(u"41");
  platform.flasher_starts = false;
  EXPECT_EQ(Run(), (Calls{"ReadBoardPrefix", "StartFlasher"}));
}

TEST_F(MainSequence, TwoRunsGiveTheSameOutcome) {
  Board(u"41");
  EXPECT_EQ(Run(), Run());
  Board(u"40");
  EXPECT_EQ(Run(), Run());
}

}  // namespace

BoardPrefix ReadBoardPrefix() noexcept {
  platform.calls.push_back("ReadBoardPrefix");
  return platform.board;
}

bool ShowWrongBoardWarning() noexcept {
  platform.calls.push_back("ShowWrongBoardWarning");
  return platform.warning_shows;
}

bool StartFlasher() noexcept {
  platform.calls.push_back("StartFlasher");
  return platform.flasher_starts;
}
