#pragma once

// Where Windows' process creation looks for a program named without a folder, and in which
// order, apart from the calls that read the folders and test the files. Units are UTF-16.

#include <cstddef>

template <typename Unit>
struct ProgramSearchPlaces {
  const Unit* own_folder;       // the starting program's folder
  const Unit* current_folder;   // null when NoDefaultCurrentDirectoryInExePath leaves it out
  const Unit* system_folder;    // the 32-bit system folder
  const Unit* system16_folder;  // the 16-bit system folder
  const Unit* windows_folder;
  const Unit* path_list;        // PATH: folders separated by ';'
};

// Where the search found the program. Only the starting program's own folder is known to
// hold what came with it: any other place may hold a file that anything put there.
enum class FoundIn { kNowhere, kOwnFolder, kElsewhere };

// Calls visit(folder, length) for each folder in process creation's order, leaving out the
// missing and the empty ones, until a call returns true. Returns which place that was.
template <typename Unit, typename Visit>
FoundIn VisitSearchFolders(const ProgramSearchPlaces<Unit>& places, Visit visit) {
  const Unit* const fixed[] = {places.own_folder, places.current_folder, places.system_folder,
                               places.system16_folder, places.windows_folder};
  for (const Unit* folder : fixed) {
    if (folder == nullptr) continue;
    std::size_t length = 0;
    while (folder[length] != 0) ++length;
    if (length != 0 && visit(folder, length)) {
      return folder == places.own_folder ? FoundIn::kOwnFolder : FoundIn::kElsewhere;
    }
  }
  for (const Unit* entry = places.path_list; entry != nullptr;) {
    const Unit* end = entry;
    while (*end != 0 && *end != u';') ++end;
    if (end != entry && visit(entry, static_cast<std::size_t>(end - entry))) {
      return FoundIn::kElsewhere;
    }
    entry = *end != 0 ? end + 1 : nullptr;
  }
  return FoundIn::kNowhere;
}

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
