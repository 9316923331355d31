#include "fake_wmi.h"

namespace fake_wmi {

int live_objects = 0;

constexpr DISPID kMemberId = 7;

HRESULT STDMETHODCALLTYPE Dispatch::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                                  DISPID* ids) {
  if (count != 1 || lstrcmpiW(names[0], MemberName()) != 0) return DISP_E_UNKNOWNNAME;
  ids[0] = kMemberId;
  return S_OK;
}

Board* Board::WithText(const std::wstring& text) {
  Board* board = new Board;
  board->value.vt = VT_BSTR;
  board->value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return board;
}

Board* Board::WithTextByReference(const std::wstring& text) {
  Board* board = new Board;
  board->referenced_ = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  board->value.vt = VT_BYREF | VT_BSTR;
  board->value.pbstrVal = &board->referenced_;
  return board;
}

Board::~Board() {
  VariantClear(&value);
  SysFreeString(referenced_);
}

HRESULT STDMETHODCALLTYPE Board::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* args,
                                        VARIANT* result, EXCEPINFO*, UINT*) {
  flags_seen = flags;
  args_seen = args != nullptr ? args->cArgs : 0;
  if (id != kMemberId) return DISP_E_MEMBERNOTFOUND;
  // Like Wine's own objects: a property read must also allow a method call.
  if (flags != (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  if (FAILED(read_error)) return read_error;
  return VariantCopy(result, &value);
}

Enumerator::~Enumerator() {
  for (VARIANT& item : items) VariantClear(&item);
}

void Enumerator::AddBoard(Board* board) {
  VARIANT item;
  VariantInit(&item);
  item.vt = VT_DISPATCH;
  item.pdispVal = board;
  items.push_back(item);
}

void Enumerator::AddValue(VARIANT& value) {
  VARIANT item;
  VariantInit(&item);
  VariantCopy(&item, &value);
  items.push_back(item);
}

HRESULT STDMETHODCALLTYPE Enumerator::Next(ULONG wanted, VARIANT* out, ULONG* fetched) {
  if (fetched != nullptr) *fetched = 0;
  if (wanted != 1) return E_INVALIDARG;
  if (next == fail_at) return E_FAIL;
  if (next == nothing_at) return S_OK;
  if (next == items.size()) return S_FALSE;
  const HRESULT hr = VariantCopy(out, &items[next++]);
  if (SUCCEEDED(hr) && fetched != nullptr) *fetched = 1;
  return hr;
}

ResultSet::~ResultSet() {
  if (enumerator != nullptr) enumerator->Release();
}

HRESULT STDMETHODCALLTYPE ResultSet::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                            VARIANT* result, EXCEPINFO*, UINT*) {
  if (id != DISPID_NEWENUM || !(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
  if (FAILED(enum_error)) return enum_error;
  if (rewind != nullptr) rewind->next = 0;
  if (enumerator == nullptr) return S_OK;  // an empty answer
  result->vt = handed_out_as;
  result->punkVal = enumerator;
  enumerator->AddRef();
  return S_OK;
}

Service::~Service() {
  if (results != nullptr) results->Release();
}

HRESULT STDMETHODCALLTYPE Service::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* args,
                                          VARIANT* result, EXCEPINFO*, UINT*) {
  if (id != kMemberId) return DISP_E_MEMBERNOTFOUND;
  ++seen.calls;
  seen.flags = flags;
  seen.arg_count = args->cArgs;
  seen.named_arg_count = args->cNamedArgs;
  if (args->cArgs == 3) {
    // Arguments arrive last first.
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

}  // namespace fake_wmi
