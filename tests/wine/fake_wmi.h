#pragma once

// Stand-ins for WMI's scripting objects (service, result set, enumerator, board items),
// answering late-bound calls the way the real ones do, so that the probe can be driven
// down every failure code path. Every object counts itself, so a test can prove that the
// probe gave back each reference it took.

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

namespace fake_wmi {

// Objects alive right now, across all kinds.
inline int live_objects = 0;

template <typename Interface>
class Object : public Interface {
 public:
  Object() { ++live_objects; }
  virtual ~Object() { --live_objects; }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    const bool known = iid == IID_IUnknown || iid == __uuidof(Interface);
    *out = known ? static_cast<Interface*>(this) : nullptr;
    if (known) AddRef();
    return known ? S_OK : E_NOINTERFACE;
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

// IDispatch answering to one member, by the name `member` (none: only DISPID_NEWENUM,
// which For Each asks for by number); subclasses answer Invoke.
class Dispatch : public Object<IDispatch> {
 public:
  static constexpr DISPID kMemberId = 7;
  explicit Dispatch(const wchar_t* member) : member_(member) {}

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (member_ == nullptr || count != 1 || lstrcmpiW(names[0], member_) != 0) {
      return DISP_E_UNKNOWNNAME;
    }
    ids[0] = kMemberId;
    return S_OK;
  }

 private:
  const wchar_t* member_;
};

// A board whose Version read returns `value`, or fails with `read_error`.
class Board : public Dispatch {
 public:
  HRESULT read_error = S_OK;
  VARIANT value;
  WORD flags_seen = 0;
  UINT args_seen = 0;

  Board() : Dispatch(L"Version") { VariantInit(&value); }
  explicit Board(const std::wstring& text) : Board() {
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }
  ~Board() override {
    VariantClear(&value);
    SysFreeString(referenced_);
  }
  // Returns the text by reference (VT_BYREF | VT_BSTR); the board keeps what it refers to.
  static Board* WithTextByReference(const std::wstring& text) {
    Board* board = new Board;
    board->referenced_ = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    board->value.vt = VT_BYREF | VT_BSTR;
    board->value.pbstrVal = &board->referenced_;
    return board;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* args,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    flags_seen = flags;
    args_seen = args != nullptr ? args->cArgs : 0;
    // Like Wine's own objects: a property read must also allow a method call.
    if (id != kMemberId || flags != (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) {
      return DISP_E_MEMBERNOTFOUND;
    }
    if (FAILED(read_error)) return read_error;
    // Wine's VariantCopy makes a null text empty; the probe must meet the null itself.
    if (value.vt == VT_BSTR && value.bstrVal == nullptr) {
      *result = value;
      return S_OK;
    }
    return VariantCopy(result, &value);
  }

 private:
  BSTR referenced_ = nullptr;
};

// Hands out `items` one by one; the move at index `fail_at` fails, and the one at
// `nothing_at` succeeds without handing anything out. Each of those, like the end, ends a
// walk: a move asked for after it is counted in `moves_after_end` and answered with a
// failure, then with the end, so that a walk that heeds either one still stops.
class Enumerator : public Object<IEnumVARIANT> {
 public:
  std::vector<VARIANT> items;
  size_t fail_at = SIZE_MAX;
  size_t nothing_at = SIZE_MAX;
  size_t next = 0;
  bool ended = false;
  size_t moves_after_end = 0;

  ~Enumerator() override {
    for (VARIANT& item : items) VariantClear(&item);
  }
  void AddBoard(Board* board) {  // takes the board's reference
    VARIANT item = {};
    item.vt = VT_DISPATCH;
    item.pdispVal = board;
    items.push_back(item);
  }
  void AddValue(VARIANT& value) {
    items.emplace_back();
    VariantInit(&items.back());
    VariantCopy(&items.back(), &value);
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG wanted, VARIANT* out, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    if (wanted != 1) return E_INVALIDARG;
    if (ended) return ++moves_after_end % 2 != 0 ? E_FAIL : S_FALSE;
    ended = next == fail_at || next == nothing_at || next == items.size();
    if (next == fail_at) return E_FAIL;
    if (next == nothing_at) return S_OK;
    if (next == items.size()) return S_FALSE;
    const HRESULT hr = VariantCopy(out, &items[next++]);
    if (SUCCEEDED(hr) && fetched != nullptr) *fetched = 1;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT**) override { return E_NOTIMPL; }
};

// A result set whose _NewEnum returns `enumerator` as a `handed_out_as` value, or fails
// with `enum_error`.
class ResultSet : public Dispatch {
 public:
  HRESULT enum_error = S_OK;
  IUnknown* enumerator = nullptr;  // owned reference; what _NewEnum hands out
  VARTYPE handed_out_as = VT_UNKNOWN;
  Enumerator* rewind = nullptr;    // not owned; started afresh at each _NewEnum

  ResultSet() : Dispatch(nullptr) {}
  ~ResultSet() override {
    if (enumerator != nullptr) enumerator->Release();
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (id != DISPID_NEWENUM || !(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    if (FAILED(enum_error)) return enum_error;
    if (rewind != nullptr) {
      rewind->next = 0;
      rewind->ended = false;
    }
    if (enumerator == nullptr) return S_OK;  // an empty answer
    result->vt = handed_out_as;
    result->punkVal = enumerator;
    enumerator->AddRef();
    return S_OK;
  }
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

// A service whose ExecQuery returns `results` (any object, or none), or fails with
// `query_error`.
class Service : public Dispatch {
 public:
  HRESULT query_error = S_OK;
  IDispatch* results = nullptr;  // owned reference
  QueryCall seen;

  Service() : Dispatch(L"ExecQuery") {}
  ~Service() override {
    if (results != nullptr) results->Release();
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* args,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (id != kMemberId) return DISP_E_MEMBERNOTFOUND;
    ++seen.calls;
    seen.flags = flags;
    seen.arg_count = args->cArgs;
    seen.named_arg_count = args->cNamedArgs;
    if (args->cArgs == 3) {  // arguments arrive last first
      const VARIANT& query = args->rgvarg[2];
      seen.query_type = query.vt;
      if (query.vt == VT_BSTR) seen.query.assign(query.bstrVal, SysStringLen(query.bstrVal));
      seen.language_type = args->rgvarg[1].vt;
      seen.language_scode = args->rgvarg[1].scode;
      seen.flags_type = args->rgvarg[0].vt;
      if (args->rgvarg[0].vt == VT_I2) seen.flags_value = args->rgvarg[0].iVal;
    }
    if (FAILED(query_error)) return query_error;
    if (results == nullptr) return S_OK;
    result->vt = VT_DISPATCH;
    result->pdispVal = results;
    results->AddRef();
    return S_OK;
  }
};

}  // namespace fake_wmi
