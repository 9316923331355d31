#include "wbem_query.h"

#include <objbase.h>
#include <oleauto.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "win/raii.h"

using Microsoft::WRL::ComPtr;

namespace {

ComPtr<IWbemServices> ConnectToCimv2() {
  ComPtr<IWbemLocator> locator;
  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&locator)))) {
    return nullptr;
  }
  Bstr path(L"ROOT\\CIMV2");
  ComPtr<IWbemServices> services;
  if (!path || FAILED(locator->ConnectServer(path.Get(), nullptr, nullptr, nullptr, 0, nullptr,
                                             nullptr, &services))) {
    return nullptr;
  }
  // The impersonation level that the scripting moniker asks for by default.
  CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                    RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  return services;
}

}  // namespace

bool ReadLastBoardVersion(Variant& version) noexcept {
  ComPtr<IWbemServices> services = ConnectToCimv2();
  if (!services) return false;

  Bstr language(L"WQL");
  Bstr query(L"Select * from WIN32_BaseBoard");
  ComPtr<IEnumWbemClassObject> boards;
  if (!language || !query ||
      FAILED(services->ExecQuery(language.Get(), query.Get(),
                                 WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                 &boards))) {
    return false;
  }

  bool read = false;
  for (;;) {
    ComPtr<IWbemClassObject> board;
    ULONG returned = 0;
    if (boards->Next(static_cast<LONG>(WBEM_INFINITE), 1, &board, &returned) != WBEM_S_NO_ERROR ||
        returned != 1) {
      break;
    }
    Variant value;
    if (SUCCEEDED(board->Get(L"Version", 0, value.Receive(), nullptr, nullptr)) &&
        value->vt == VT_BSTR) {
      VariantCopy(version.Receive(), value.Get());
      read = true;
    }
  }
  return read;
}

BoardPrefix ReadBoardPrefixThroughLocator() noexcept {
  Variant version;
  if (!ReadLastBoardVersion(version)) return BoardPrefix();
  return BoardPrefix::CutFrom(version->bstrVal, SysStringLen(version->bstrVal));
}
