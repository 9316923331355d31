// Fuzzes the whole decision: a result set of boards of any shape is walked, the prefix
// judged and the run made, and the outcome is checked against the rule said plainly: the
// flasher is started exactly when the last readable Version begins with '4' then '1', and
// otherwise the warning is shown; never both, never neither.
//
// The input is read as a stream of items. Each item starts with a kind byte:
//   text        a length byte, then that many 16-bit units (any units: unpaired
//               surrogates and zeros included)
//   number      four bytes, a signed integer, which reaches the walk as its decimal
//               text, as a variant conversion gives it
//   null/empty  a Version that holds no value: not read
//   failed read the Version read itself fails: not read
//   no object   the item is not an object, so it has no Version: not read
//   failed move the move to the next item fails: the walk ends here

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/board_walk.h"
#include "startup/modMain.h"
#include "startup/platform_ops.h"

namespace {

enum class Kind : uint8_t { Text, Number, NoValue, FailedRead, NoObject, FailedMove, kCount };

struct Item {
  Kind kind;
  std::u16string text;  // for Text and Number
};

// Splits the input into items; a truncated last item is read as far as it goes.
std::vector<Item> ParseItems(const uint8_t* data, size_t size) {
  std::vector<Item> items;
  size_t at = 0;
  while (at < size) {
    Item item{static_cast<Kind>(data[at++] % static_cast<uint8_t>(Kind::kCount)), {}};
    if (item.kind == Kind::Text && at < size) {
      const size_t units = data[at++];
      for (size_t i = 0; i < units && at + 1 < size; ++i, at += 2) {
        item.text.push_back(static_cast<char16_t>(data[at] | (data[at + 1] << 8)));
      }
    } else if (item.kind == Kind::Number) {
      uint32_t bits = 0;
      for (int i = 0; i < 4 && at < size; ++i) bits |= static_cast<uint32_t>(data[at++]) << (8 * i);
      const std::string digits = std::to_string(static_cast<int32_t>(bits));
      item.text.assign(digits.begin(), digits.end());
    }
    items.push_back(std::move(item));
  }
  return items;
}

// The result set as the probe's walk meets it.
class ItemCursor {
 public:
  explicit ItemCursor(const std::vector<Item>& items) : items_(items) {}

  bool MoveNext() {
    if (next_ == items_.size() || items_[next_].kind == Kind::FailedMove) return false;
    current_ = &items_[next_++];
    return true;
  }

  bool ReadVersionPrefix(BoardPrefix& prefix) {
    if (current_->kind != Kind::Text && current_->kind != Kind::Number) return false;
    prefix = BoardPrefix::CutFrom(current_->text.data(), current_->text.size());
    return true;
  }

 private:
  const std::vector<Item>& items_;
  size_t next_ = 0;
  const Item* current_ = nullptr;
};

// The rule, restated without the walk or the prefix.
bool FlasherIsDue(const std::vector<Item>& items) {
  const std::u16string* last_read = nullptr;
  for (const Item& item : items) {
    if (item.kind == Kind::FailedMove) break;
    if (item.kind == Kind::Text || item.kind == Kind::Number) last_read = &item.text;
  }
  return last_read != nullptr && last_read->size() >= 2 && (*last_read)[0] == u'4' &&
         (*last_read)[1] == u'1';
}

// Main's three operations, over the fuzzed result set.
const std::vector<Item>* current_items = nullptr;
int probes = 0;
int warnings = 0;
int flashers = 0;

void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "walk_fuzzer: %s\n", what);
  std::abort();
}

}  // namespace

BoardPrefix ReadBoardPrefix() noexcept {
  ++probes;
  ItemCursor cursor(*current_items);
  return WalkBoards(cursor);
}

bool ShowWrongBoardWarning() noexcept {
  Check(flashers == 0, "the warning came after the flasher");
  ++warnings;
  return true;
}

bool StartFlasher() noexcept {
  Check(warnings == 0, "the flasher came after the warning");
  ++flashers;
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<Item> items = ParseItems(data, size);
  current_items = &items;
  probes = warnings = flashers = 0;

  modMain::Main();

  const bool due = FlasherIsDue(items);
  Check(probes == 1, "the board was not asked exactly once");
  Check(flashers == (due ? 1 : 0), due ? "the flasher was not started" : "the flasher was started");
  Check(warnings == (due ? 0 : 1), due ? "the warning was shown" : "the warning was not shown");
  return 0;
}
