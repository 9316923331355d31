#pragma once

// Stand-ins for WMI's scripting objects (service, result set, enumerator, board items),
// answering late-bound calls the way the real ones do, so that the probe can be driven
// down every failure road. Every object counts itself, so a test can prove that the probe
// gave back each reference it took.

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

namespace fake_wmi {

// Objects alive right now, across all kinds.
extern int live_objects;

template <typename Interface>
class Object : public Interface {
 public:
  Object() { ++live_objects; }
  virtual ~Object() { --live_objects; }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == __uuidof(Interface)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 private:
  ULONG references_ = 1;
};

// IDispatch with only the late-bound calls that matter; subclasses answer Invoke.
class Dispatch : public Object<IDispatch> {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override;

 protected:
  // The one member each stand-in answers to, by name.
  virtual const wchar_t* MemberName() const = 0;
};

// A board whose Version read gives `value`, or fails with `read_error`.
class Board : public Dispatch {
 public:
  HRESULT read_error = S_OK;
  VARIANT value;
  WORD flags_seen = 0;
  UINT args_seen = 0;

  Board() { VariantInit(&value); }
  ~Board() override;
  static Board* WithText(const std::wstring& text);
  // Gives the text by reference (VT_BYREF | VT_BSTR); the board keeps what it refers to.
  static Board* WithTextByReference(const std::wstring& text);

  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD flags, DISPPARAMS* args,
                                   VARIANT* result, EXCEPINFO*, UINT*) override;

 protected:
  const wchar_t* MemberName() const override { return L"Version"; }

 private:
  BSTR referenced_ = nullptr;
};

// Hands out `items` one by one; the move at index `fail_at` fails, and the one at
// `nothing_at` succeeds without handing anything out.
class Enumerator : public Object<IEnumVARIANT> {
 public:
  std::vector<VARIANT> items;
  size_t fail_at = SIZE_MAX;
  size_t nothing_at = SIZE_MAX;
  size_t next = 0;

  ~Enumerator() override;
  void AddBoard(Board* board);  // takes the board's reference
  void AddValue(VARIANT& value);

  HRESULT STDMETHODCALLTYPE Next(ULONG wanted, VARIANT* out, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT**) override { return E_NOTIMPL; }
};

// A result set whose _NewEnum gives `enumerator` as a `handed_out_as` value, or fails
// with `enum_error`.
class ResultSet : public Dispatch {
 public:
  HRESULT enum_error = S_OK;
  IUnknown* enumerator = nullptr;  // owned reference; what _NewEnum hands out
  VARTYPE handed_out_as = VT_UNKNOWN;
  Enumerator* rewind = nullptr;    // not owned; started afresh at each _NewEnum

  ~ResultSet() override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;  // For Each asks for DISPID_NEWENUM directly
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* args,
                                   VARIANT* result, EXCEPINFO*, UINT*) override;

 protected:
  const wchar_t* MemberName() const override { return L""; }
};

// What ExecQuery was called with.
struct QueryCall {
  int calls = 0;
  WORD flags = 0;
  UINT arg_count = 0;
  UINT named_arg_count = 0;
  VARTYPE query_type = VT_EMPTY;
  std::wstring query;
  VARTYPE language_type = VT_EMPTY;
  SCODE language_scode = S_OK;
  VARTYPE flags_type = VT_EMPTY;
  LONG flags_value = 0;
};

// A service whose ExecQuery gives `results` (any object, or none), or fails with `query_error`.
class Service : public Dispatch {
 public:
  HRESULT query_error = S_OK;
  IDispatch* results = nullptr;  // owned reference
  QueryCall seen;

  ~Service() override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD flags, DISPPARAMS* args,
                                   VARIANT* result, EXCEPINFO*, UINT*) override;

 protected:
  const wchar_t* MemberName() const override { return L"ExecQuery"; }
};

}  // namespace fake_wmi
