#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/board_walk.h"

namespace {

// A board as the walk meets it: its Version text, or no readable Version at all.
struct FakeBoard {
  bool readable;
  std::u16string version;
};

FakeBoard Version(std::u16string text) { return {true, std::move(text)}; }
FakeBoard Unreadable() { return {false, {}}; }

// Hands out the boards in order; a move past `fail_move_at` boards fails.
class FakeCursor {
 public:
  explicit FakeCursor(std::vector<FakeBoard> boards, size_t fail_move_at = SIZE_MAX)
      : boards_(std::move(boards)), fail_move_at_(fail_move_at) {}

  bool MoveNext() {
    if (moves_ == fail_move_at_ || moves_ == boards_.size()) return false;
    ++moves_;
    return true;
  }

  bool ReadVersionPrefix(BoardPrefix& prefix) {
    ++reads_;
    const FakeBoard& board = boards_[moves_ - 1];
    if (!board.readable) return false;
    prefix = BoardPrefix::CutFrom(board.version.data(), board.version.size());
    return true;
  }

  size_t reads() const { return reads_; }

 private:
  std::vector<FakeBoard> boards_;
  size_t fail_move_at_;
  size_t moves_ = 0;
  size_t reads_ = 0;
};

std::u16string UnitsOf(const BoardPrefix& prefix) {
  std::u16string units;
  for (size_t i = 0; i < prefix.Length(); ++i) units.push_back(prefix[i]);
  return units;
}

BoardPrefix Walk(std::vector<FakeBoard> boards, size_t fail_move_at = SIZE_MAX) {
  FakeCursor cursor(std::move(boards), fail_move_at);
  return WalkBoards(cursor);
}

TEST(BoardWalk, KeepsTheFirstTwoUnitsUntouched) {
  EXPECT_EQ(UnitsOf(Walk({Version(u"41ABC")})), u"41");
  EXPECT_EQ(UnitsOf(Walk({Version(u"4")})), u"4");
  EXPECT_EQ(UnitsOf(Walk({Version(u" 41")})), u" 4");
  EXPECT_EQ(UnitsOf(Walk({Version(u"a1")})), u"a1");
  EXPECT_EQ(UnitsOf(Walk({Version(u"\u03A941")})), u"\u03A94");
  EXPECT_EQ(UnitsOf(Walk({Version(std::u16string(u"\0" u"41", 3))})), std::u16string(u"\0" u"4", 2));
  // A surrogate pair is cut in half: the prefix counts units, not characters.
  EXPECT_EQ(UnitsOf(Walk({Version(u"4\U0001D11E")})), u"4\xD834");
}

TEST(BoardWalk, EmptyVersionIsAnEmptyPrefixNotNothing) {
  const BoardPrefix prefix = Walk({Version(u"")});
  EXPECT_TRUE(prefix.HasValue());
  EXPECT_EQ(prefix.Length(), 0u);
}

TEST(BoardWalk, NoBoardsGiveNothing) {
  EXPECT_FALSE(Walk({}).HasValue());
}

TEST(BoardWalk, UnreadableBoardsAloneGiveNothing) {
  EXPECT_FALSE(Walk({Unreadable()}).HasValue());
  EXPECT_FALSE(Walk({Unreadable(), Unreadable()}).HasValue());
}

TEST(BoardWalk, TheLastReadableBoardWins) {
  EXPECT_EQ(UnitsOf(Walk({Version(u"40"), Version(u"41")})), u"41");
  EXPECT_EQ(UnitsOf(Walk({Version(u"41"), Version(u"40")})), u"40");
  EXPECT_EQ(UnitsOf(Walk({Version(u"41"), Version(u"")})), u"");
  EXPECT_EQ(UnitsOf(Walk({Version(u"41"), Unreadable()})), u"41");
  EXPECT_EQ(UnitsOf(Walk({Unreadable(), Version(u"41")})), u"41");
}

TEST(BoardWalk, AFailedMoveEndsTheWalkWithWhatWasStored) {
  EXPECT_EQ(UnitsOf(Walk({Version(u"41"), Version(u"40")}, 1)), u"41");
  EXPECT_FALSE(Walk({Version(u"41")}, 0).HasValue());
}

TEST(BoardWalk, ReadsEachBoardExactlyOnce) {
  FakeCursor cursor({Version(u"1"), Unreadable(), Version(u"41")});
  WalkBoards(cursor);
  EXPECT_EQ(cursor.reads(), 3u);
}

}  // namespace
