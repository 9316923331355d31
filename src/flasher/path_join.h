#pragma once

// A folder and a file name joined into a path buffer of fixed size, apart from the calls
// that read the folder, so that the native tests reach every edge of it. Units are UTF-16.

#include <cstddef>

// Writes `folder`, a backslash unless it ends in one, and `name` into `out`. False when
// that does not fit in Capacity units with its terminator: such a path is no match.
template <typename Unit, std::size_t Capacity>
bool JoinFolderAndName(const Unit* folder, std::size_t folder_length, const Unit* name,
                       Unit (&out)[Capacity]) {
  std::size_t used = 0;
  const auto append = [&](Unit unit) {
    if (used + 1 >= Capacity) return false;
    out[used++] = unit;
    return true;
  };
  for (std::size_t i = 0; i < folder_length; ++i) {
    if (!append(folder[i])) return false;
  }
  const Unit last = folder_length != 0 ? folder[folder_length - 1] : Unit();
  if (last != u'\\' && last != u'/' && !append(u'\\')) return false;
  for (const Unit* unit = name; *unit != 0; ++unit) {
    if (!append(*unit)) return false;
  }
  out[used] = 0;
  return true;
}
