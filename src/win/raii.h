#pragma once

// Owners for what ComPtr does not cover: Windows handles, and the two
// automation values VARIANT and BSTR.

#include <windows.h>
#include <oleauto.h>

// Owns a Windows handle and releases it with `Close` when it goes out of scope.
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

// A VARIANT that is cleared when it goes out of scope or is filled again.
class Variant {
 public:
  Variant() { VariantInit(&value_); }
  ~Variant() { VariantClear(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  // Clears the held value and hands out the VARIANT for a call to fill.
  VARIANT* Receive() {
    VariantClear(&value_);
    return &value_;
  }
  VARIANT* Get() { return &value_; }
  const VARIANT* operator->() const { return &value_; }

 private:
  VARIANT value_;
};

// A BSTR that is freed when it goes out of scope.
class Bstr {
 public:
  explicit Bstr(const wchar_t* text) : value_(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  BSTR Get() const { return value_; }
  explicit operator bool() const { return value_ != nullptr; }

 private:
  BSTR value_;
};
