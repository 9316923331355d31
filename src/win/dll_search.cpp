#include "win/dll_search.h"

#include "win/find_export.h"

namespace {

// Set once NarrowDllSearch had to fall back to SetDllDirectoryW(L"").
bool narrowed_by_dll_directory = false;

}  // namespace

void NarrowDllSearch(SetDefaultDllDirectoriesFn set_default_dll_directories) {
  narrowed_by_dll_directory = false;
  if (set_default_dll_directories != nullptr &&
      set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    return;
  }
  narrowed_by_dll_directory = SetDllDirectoryW(L"") != FALSE;
}

void HardenDllSearch() {
  NarrowDllSearch(FindExport<SetDefaultDllDirectoriesFn>(GetModuleHandleW(L"kernel32.dll"),
                                                         "SetDefaultDllDirectories"));
}

DefaultDllSearchForChildren::DefaultDllSearchForChildren() {
  if (narrowed_by_dll_directory) lifted_ = SetDllDirectoryW(nullptr) != FALSE;
}

DefaultDllSearchForChildren::~DefaultDllSearchForChildren() {
  // The code path after error 740 still loads the shell: the narrowing must be back first.
  if (lifted_) SetDllDirectoryW(L"");
}
