#pragma once

#include <cstddef>

// The first two UTF-16 units of the main board's version text: fewer when the text is
// shorter, and no value at all when no version was read. It is compared unit for unit,
// with no case folding or trimming, so a fixed pair of units is all it ever needs.
class BoardPrefix {
 public:
  static constexpr std::size_t kMaxUnits = 2;

  // No version was read.
  constexpr BoardPrefix() = default;

  // Keeps the first units of a version text. A surrogate pair may be cut in half; the
  // prefix is judged by its units, never shown, so that is harmless.
  template <typename Unit>
  static constexpr BoardPrefix CutFrom(const Unit* text, std::size_t length) {
    static_assert(sizeof(Unit) == sizeof(char16_t), "version text is UTF-16");
    BoardPrefix prefix;
    prefix.has_value_ = true;
    prefix.length_ = length < kMaxUnits ? length : kMaxUnits;
    for (std::size_t i = 0; i < prefix.length_; ++i) {
      prefix.units_[i] = static_cast<char16_t>(text[i]);
    }
    return prefix;
  }

  constexpr bool HasValue() const { return has_value_; }
  constexpr std::size_t Length() const { return length_; }
  constexpr char16_t operator[](std::size_t index) const { return units_[index]; }

 private:
  char16_t units_[kMaxUnits] = {};
  std::size_t length_ = 0;
  bool has_value_ = false;
};
