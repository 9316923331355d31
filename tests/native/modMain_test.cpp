// modMain: IsSupportedBoard over version texts, and Main against recording fakes of the
// three operations it calls, on the same texts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "startup/board_prefix.h"
#include "startup/modMain.h"
#include "startup/platform_ops.h"

namespace {

BoardPrefix PrefixOf(const std::u16string& text) {
  return BoardPrefix::CutFrom(text.data(), text.size());
}

struct DecisionCase {
  const char* name;
  std::u16string version;
  bool supported;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const DecisionCase& decision, std::ostream* out) { *out << decision.name; }

const DecisionCase kVersionTexts[] = {
    {"exactly_41", u"41", true},
    {"41_and_more", u"41ABC", true},
    {"41_then_nul", std::u16string(u"41\0x", 4), true},
    {"empty", u"", false},
    {"only_4", u"4", false},
    {"only_1", u"1", false},
    {"reversed_14", u"14", false},
    {"forty", u"40", false},
    {"4_space", u"4 ", false},
    {"space_41", u" 41", false},
    {"41_found_later", u"0410", false},
    {"fullwidth_digits", u"\uFF14\uFF11", false},
    {"fullwidth_1", u"4\uFF11", false},
    {"4_combining_mark", u"4\u03011", false},
    {"arabic_indic_digits", u"\u0664\u0661", false},
    {"nul_then_41", std::u16string(u"\0" u"41", 3), false},
    {"high_byte_alias_of_4", u"\u0134\u0131", false},
    {"unpaired_surrogates", u"\xD834\xDD1E", false},
};

class DecisionTest : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(DecisionTest, JudgesTheBoardsPrefix) {
  EXPECT_EQ(modMain::IsSupportedBoard(PrefixOf(GetParam().version)), GetParam().supported);
}

INSTANTIATE_TEST_SUITE_P(
    VersionTexts, DecisionTest, ::testing::ValuesIn(kVersionTexts),
    [](const ::testing::TestParamInfo<DecisionCase>& param) { return param.param.name; });

TEST(DecisionWithoutVersion, NoValueIsJudgedLikeEmptyText) {
  EXPECT_FALSE(modMain::IsSupportedBoard(BoardPrefix()));
}

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

  static void Board(const std::u16string& version) { platform.board = PrefixOf(version); }

  static std::vector<std::string> Run() {
    platform.calls.clear();
    modMain::Main();
    return platform.calls;
  }

  using Calls = std::vector<std::string>;
};

TEST_F(MainSequence, SupportedBoardStartsTheFlasherAndShowsNothing) {
  for (const DecisionCase& text : kVersionTexts) {
    if (!text.supported) continue;
    SCOPED_TRACE(text.name);
    Board(text.version);
    EXPECT_EQ(Run(), (Calls{"ReadBoardPrefix", "StartFlasher"}));
  }
}

TEST_F(MainSequence, EveryOtherBoardOnlyWarns) {
  for (const DecisionCase& text : kVersionTexts) {
    if (text.supported) continue;
    SCOPED_TRACE(text.name);
    Board(text.version);
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
