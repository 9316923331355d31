#pragma once

#include <windows.h>

// The function that `module` exports as `name`, typed as `Function`; null when the module or
// the export is missing. Used for what older Windows lack, and for libraries that only one
// code path needs.
template <typename Function>
Function FindExport(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  // The detour through a plain function pointer type is how GCC accepts a FARPROC cast.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
