#pragma once

#include "startup/board_prefix.h"

// Walks a result set of boards once, forward, keeping the prefix of the last board whose
// Version could be read. A board that cannot be read leaves the stored prefix as it was;
// a failed move to the next board ends the walk with what is stored so far.
//
// Cursor offers:
//   bool MoveNext();                         // false at the end, or when the move fails
//   bool ReadVersionPrefix(BoardPrefix&);    // false when this board's Version is unreadable
template <typename Cursor>
BoardPrefix WalkBoards(Cursor& boards) {
  BoardPrefix stored;
  while (boards.MoveNext()) {
    BoardPrefix read;
    if (boards.ReadVersionPrefix(read)) stored = read;
  }
  return stored;
}
