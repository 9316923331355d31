#include <gtest/gtest.h>

#include <string>

#include "startup/board_prefix.h"
#include "startup/modMain.h"

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

class DecisionTest : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(DecisionTest, JudgesTheBoardsPrefix) {
  EXPECT_EQ(modMain::IsSupportedBoard(PrefixOf(GetParam().version)), GetParam().supported);
}

INSTANTIATE_TEST_SUITE_P(
    VersionTexts, DecisionTest,
    ::testing::Values(
        DecisionCase{"exactly_41", u"41", true},
        DecisionCase{"41_and_more", u"41ABC", true},
        DecisionCase{"41_then_nul", std::u16string(u"41\0x", 4), true},
        DecisionCase{"empty", u"", false},
        DecisionCase{"only_4", u"4", false},
        DecisionCase{"only_1", u"1", false},
        DecisionCase{"reversed_14", u"14", false},
        DecisionCase{"forty", u"40", false},
        DecisionCase{"4_space", u"4 ", false},
        DecisionCase{"space_41", u" 41", false},
        DecisionCase{"41_found_later", u"0410", false},
        DecisionCase{"fullwidth_digits", u"\uFF14\uFF11", false},
        DecisionCase{"fullwidth_1", u"4\uFF11", false},
        DecisionCase{"4_combining_mark", u"4\u03011", false},
        DecisionCase{"arabic_indic_digits", u"\u0664\u0661", false},
        DecisionCase{"nul_then_41", std::u16string(u"\0" u"41", 3), false},
        DecisionCase{"high_byte_alias_of_4", u"\u0134\u0131", false},
        DecisionCase{"unpaired_surrogates", u"\xD834\xDD1E", false}),
    [](const ::testing::TestParamInfo<DecisionCase>& param) { return param.param.name; });

TEST(DecisionWithoutVersion, NoValueIsJudgedLikeEmptyText) {
  EXPECT_FALSE(modMain::IsSupportedBoard(BoardPrefix()));
}

}  // namespace
