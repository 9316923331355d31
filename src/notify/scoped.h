#pragma once

#include <windows.h>

// Owns a Windows handle and gives it back with `Close` when it goes out of scope.
template <typename Handle, BOOL(WINAPI* Close)(Handle)>
class Scoped {
 public:
  explicit Scoped(Handle handle) : handle_(handle) {}
  ~Scoped() {
    if (handle_ != nullptr) Close(handle_);
  }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;

 private:
  Handle handle_;
};

using ScopedHandle = Scoped<HANDLE, CloseHandle>;
using ScopedLibrary = Scoped<HMODULE, FreeLibrary>;
