// Reads the main board's version through WMI's scripting objects, calling them late-bound
// as a script would: bind the moniker, ExecQuery, walk the result set, read Version.

#include "board/wmi_probe.h"

#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include "board/board_walk.h"
#include "startup/platform_ops.h"
#include "win/raii.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kMonikerHead[] = L"winmgmts:\\\\";
constexpr wchar_t kMachine[] = L".";
constexpr wchar_t kNamespacePath[] = L"\\root\\cimv2";
constexpr wchar_t kQuery[] = L"Select * from WIN32_BaseBoard";
// wbemFlagReturnImmediately (16) | wbemFlagForwardOnly (32): the walk starts without
// waiting for the whole result, and the service keeps no copy for going back.
constexpr SHORT kQueryFlags = 48;
constexpr wchar_t kVersionProperty[] = L"Version";

// Scripting clients read a property with both flags; Wine's objects answer nothing else.
constexpr WORD kPropertyRead = DISPATCH_PROPERTYGET | DISPATCH_METHOD;

constexpr size_t kMonikerCapacity =
    sizeof(kMonikerHead) / sizeof(wchar_t) + sizeof(kMachine) / sizeof(wchar_t) +
    sizeof(kNamespacePath) / sizeof(wchar_t);

// Writes the moniker "winmgmts:\\.\root\cimv2" from its three pieces.
void JoinMoniker(wchar_t (&moniker)[kMonikerCapacity]) {
  const wchar_t* const pieces[] = {kMonikerHead, kMachine, kNamespacePath};
  size_t used = 0;
  for (const wchar_t* piece : pieces) {
    for (const wchar_t* unit = piece; *unit != L'\0'; ++unit) moniker[used++] = *unit;
  }
  moniker[used] = L'\0';
}

HRESULT InvokeByName(IDispatch* target, const wchar_t* name, WORD flags, DISPPARAMS* args,
                     VARIANT* result) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, args, result, nullptr,
                        nullptr);
}

// ExecQuery(query, <language left out>, 48): the service then uses its default, WQL.
HRESULT RunBaseBoardQuery(IDispatch* service, ComPtr<IDispatch>& results) {
  Bstr query(kQuery);
  if (!query) return E_OUTOFMEMORY;

  VARIANTARG args[3];  // last argument first, as IDispatch::Invoke expects
  VariantInit(&args[0]);
  args[0].vt = VT_I2;
  args[0].iVal = kQueryFlags;
  VariantInit(&args[1]);
  args[1].vt = VT_ERROR;
  args[1].scode = DISP_E_PARAMNOTFOUND;  // how an optional argument is left out
  VariantInit(&args[2]);
  args[2].vt = VT_BSTR;
  args[2].bstrVal = query.Get();  // still owned by `query`
  DISPPARAMS params = {args, nullptr, 3, 0};

  Variant result;
  HRESULT hr = InvokeByName(service, L"ExecQuery", DISPATCH_METHOD, &params, result.Receive());
  if (FAILED(hr)) return hr;
  if (result->vt != VT_DISPATCH || result->pdispVal == nullptr) return E_UNEXPECTED;
  results = result->pdispVal;
  return S_OK;
}

// The result set's enumerator, as For Each gets it: the _NewEnum member.
HRESULT OpenEnumerator(IDispatch* results, ComPtr<IEnumVARIANT>& boards) {
  DISPPARAMS no_args = {};
  Variant result;
  HRESULT hr = results->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT, kPropertyRead,
                               &no_args, result.Receive(), nullptr, nullptr);
  if (FAILED(hr)) return hr;
  if ((result->vt != VT_UNKNOWN && result->vt != VT_DISPATCH) || result->punkVal == nullptr) {
    return E_UNEXPECTED;
  }
  return result->punkVal->QueryInterface(
      IID_IEnumVARIANT, reinterpret_cast<void**>(boards.ReleaseAndGetAddressOf()));
}

// Turns a Version value into a prefix. A null or empty value was not read; any other kind
// is converted to text as the platform converts variants, and a failed conversion was not
// read either.
bool CutVersion(Variant& value, BoardPrefix& prefix) {
  if (value->vt == VT_EMPTY || value->vt == VT_NULL) return false;
  if (value->vt != VT_BSTR && FAILED(VariantChangeType(value.Get(), value.Get(), 0, VT_BSTR))) {
    return false;
  }
  const BSTR text = value->bstrVal;
  prefix = BoardPrefix::CutFrom(text, SysStringLen(text));
  return true;
}

// One forward pass over the boards of the result set.
class BoardCursor {
 public:
  explicit BoardCursor(IEnumVARIANT* boards) : boards_(boards) {}

  bool MoveNext() {
    current_.Reset();
    Variant item;
    ULONG fetched = 0;
    if (boards_->Next(1, item.Receive(), &fetched) != S_OK || fetched != 1) return false;
    // An item that is not an object stays unread; the walk goes on past it.
    if (item->vt == VT_DISPATCH) current_ = item->pdispVal;
    return true;
  }

  bool ReadVersionPrefix(BoardPrefix& prefix) {
    if (!current_) return false;
    DISPPARAMS no_args = {};
    Variant value;
    if (FAILED(InvokeByName(current_.Get(), kVersionProperty, kPropertyRead, &no_args,
                            value.Receive()))) {
      return false;
    }
    return CutVersion(value, prefix);
  }

 private:
  IEnumVARIANT* boards_;
  ComPtr<IDispatch> current_;
};

}  // namespace

// The moniker names no security settings, so the binding takes the machine's default
// impersonation level; where an administrator lowered it, WMI may refuse the query and the
// warning follows. The scripting objects offer no timeout: a provider that never answers
// leaves the run waiting.
HRESULT BindLocalWmiService(IDispatch** service) {
  wchar_t moniker[kMonikerCapacity];
  JoinMoniker(moniker);
  return CoGetObject(moniker, nullptr, IID_IDispatch, reinterpret_cast<void**>(service));
}

BoardPrefix ReadBoardPrefixVia(ServiceBinder bind) noexcept {
  ComPtr<IDispatch> service;
  if (FAILED(bind(service.GetAddressOf())) || !service) return BoardPrefix();

  ComPtr<IDispatch> results;
  if (FAILED(RunBaseBoardQuery(service.Get(), results))) return BoardPrefix();

  ComPtr<IEnumVARIANT> boards;
  if (FAILED(OpenEnumerator(results.Get(), boards))) return BoardPrefix();

  BoardCursor cursor(boards.Get());
  return WalkBoards(cursor);
}

BoardPrefix ReadBoardPrefix() noexcept { return ReadBoardPrefixVia(BindLocalWmiService); }
