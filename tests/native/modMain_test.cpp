// modMain: IsSupportedBoard over version texts, and Main on each of them against recording
// fakes of the three operations it calls.

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

struct FakePlatform {
  BoardPrefix board;
  bool warning_shows = true;
  bool flasher_starts = true;
  std::vector<std::string> calls;
};

FakePlatform platform;

using Calls = std::vector<std::string>;

// Main on `board`: the calls it made.
Calls RunOn(const BoardPrefix& board) {
  platform.board = board;
  platform.calls.clear();
  modMain::Main();
  return platform.calls;
}

const Calls kStartsTheFlasher = {"ReadBoardPrefix", "StartFlasher"};
const Calls kOnlyWarns = {"ReadBoardPrefix", "ShowWrongBoardWarning"};

class DecisionTest : public ::testing::TestWithParam<DecisionCase> {};

// The decision, and Main acting on it: the flasher and nothing shown, or only the warning.
TEST_P(DecisionTest, JudgesTheBoardsPrefixAndMainFollows) {
  platform = FakePlatform();
  const BoardPrefix prefix = PrefixOf(GetParam().version);
  EXPECT_EQ(modMain::IsSupportedBoard(prefix), GetParam().supported);
  EXPECT_EQ(RunOn(prefix), GetParam().supported ? kStartsTheFlasher : kOnlyWarns);
}

INSTANTIATE_TEST_SUITE_P(
    VersionTexts, DecisionTest, ::testing::ValuesIn(kVersionTexts),
    [](const ::testing::TestParamInfo<DecisionCase>& param) { return param.param.name; });

TEST(DecisionWithoutVersion, NoValueIsJudgedLikeEmptyText) {
  platform = FakePlatform();
  EXPECT_FALSE(modMain::IsSupportedBoard(BoardPrefix()));
  EXPECT_EQ(RunOn(BoardPrefix()), kOnlyWarns);
}

class MainSequence : public ::testing::Test {
 protected:
  void SetUp() override { platform = FakePlatform(); }
};

TEST_F(MainSequence, AWarningThatCannotBeShownStillNeverStartsTheFlasher) {
  platform.warning_shows = false;
  EXPECT_EQ(RunOn(PrefixOf(u"40")), kOnlyWarns);
}

TEST_F(MainSequence, AFlasherThatCannotBeStartedEndsTheRunWithoutAWarning) {
  platform.flasher_starts = false;
  EXPECT_EQ(RunOn(PrefixOf(u"41")), kStartsTheFlasher);
}

TEST_F(MainSequence, TwoRunsGiveTheSameOutcome) {
  EXPECT_EQ(RunOn(PrefixOf(u"41")), RunOn(PrefixOf(u"41")));
  EXPECT_EQ(RunOn(PrefixOf(u"40")), RunOn(PrefixOf(u"40")));
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
