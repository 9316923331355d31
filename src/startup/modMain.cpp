#include "startup/modMain.h"

#include "startup/platform_ops.h"

namespace modMain {

bool IsSupportedBoard(const BoardPrefix& prefix) noexcept {
  // The prefix holds at most two units, so finding "41" anywhere in it means it is "41".
  return prefix.Length() == 2 && prefix[0] == u'4' && prefix[1] == u'1';
}

void Main() noexcept {
  // Failures are absorbed inside each operation and never reach the user; whatever an
  // outcome operation reports, the run ends after it. On the warning code path the flasher
  // is never started, however the box was closed.
  if (IsSupportedBoard(ReadBoardPrefix())) {
    StartFlasher();
  } else {
    ShowWrongBoardWarning();
  }
}

}  // namespace modMain
