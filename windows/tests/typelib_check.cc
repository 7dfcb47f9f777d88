// Checks the registered type library against the interface the host expects (names, order,
// parameter kinds, identities), and that the server can be unloaded once its objects are gone.
//   typelib_check.exe PATH\vmreportllupdate.dll
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vmreportllupdate.h"

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok" : "FAIL", what.c_str());
  if (!ok) ++failures;
}

// The kind of a parameter: "BSTR*", "BSTR", "IDispatch**", "VARIANT_BOOL*" (retval), "VARIANT*".
std::string Kind(const TYPEDESC& t) {
  if (t.vt == VT_PTR) {
    std::string inner = Kind(*t.lptdesc);
    return inner + "*";
  }
  switch (t.vt) {
    case VT_BSTR:
      return "BSTR";
    case VT_BOOL:
      return "VARIANT_BOOL";
    case VT_VARIANT:
      return "VARIANT";
    case VT_DISPATCH:
      return "IDispatch*";
    default:
      return "vt" + std::to_string(t.vt);
  }
}

struct Expected {
  const wchar_t* name;
  std::vector<std::string> params;  // the last one is the result
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  CoInitialize(nullptr);
  const std::string b = "BSTR*", r = "VARIANT_BOOL*";
  std::vector<Expected> expected = {
      {L"Pruefe_Druckkataloge", {b, b, r}},
      {L"Kopiere_Neue_Formulare_LL", {b, b, b, r}},
      {L"Suche_ErsetzeProjektdatei", {b, b, b, b, b, r}},
      {L"Suche_ErsetzeProjektdatei_LL12", {b, b, r}},
      {L"Suche_ErsetzeProjektdatei_LL15", {b, b, r}},
      {L"Suche_ErsetzeProjektdatei_Seite", {b, b, b, b, b, b, b, r}},
      {L"Suche_ErsetzeProjektdatei_Mahnung", {b, b, r}},
      {L"Pruefe_Konvertiere_Formulare", {b, "IDispatch**", r}},
      {L"Umstellung_Auf_Neue_Anschrift", {b, r}},
      {L"Korrektur_Wart_Farbe", {b, r}},
      {L"Umstellung_auf_LL12", {b, r}},
      {L"Umstellung_auf_LL24", {b, r}},
      {L"Suche_ErsetzeProjektdatei_WarFarbe", {b, b, r}},
      {L"Umstellung_Auf_Seite_Von_Bis", {b, b, r}},
      {L"Umstellung_Mahnformular", {b, b, r}},
      {L"SchreibschutzEntfernenAlleDateien", {"BSTR", "VARIANT*"}},
      {L"SchreibschutzEntfernen", {"BSTR", r}},
  };

  ITypeLib* library = nullptr;
  HRESULT hr = LoadRegTypeLib(LIBID_VMReportLLUpdate, 2, 0, LOCALE_NEUTRAL, &library);
  Check(SUCCEEDED(hr), "type library VMReportLLUpdate 2.0 is registered");
  if (FAILED(hr)) return 1;
  BSTR name = nullptr;
  library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
  Check(name != nullptr && std::wstring(name) == L"VMReportLLUpdate", "library name");
  SysFreeString(name);

  ITypeInfo* coclass = nullptr;
  Check(SUCCEEDED(library->GetTypeInfoOfGuid(CLSID_clsReportLLUpdate, &coclass)),
        "creatable class clsReportLLUpdate");
  if (coclass != nullptr) {
    TYPEATTR* attr = nullptr;
    coclass->GetTypeAttr(&attr);
    Check(attr->typekind == TKIND_COCLASS && (attr->wTypeFlags & TYPEFLAG_FCANCREATE),
          "the class can be created");
    coclass->ReleaseTypeAttr(attr);
    HREFTYPE ref = 0;
    int flags = 0;
    coclass->GetImplTypeFlags(0, &flags);
    coclass->GetRefTypeOfImplType(0, &ref);
    ITypeInfo* iface = nullptr;
    coclass->GetRefTypeInfo(ref, &iface);
    TYPEATTR* iattr = nullptr;
    iface->GetTypeAttr(&iattr);
    Check((flags & IMPLTYPEFLAG_FDEFAULT) && iattr->guid == IID__clsReportLLUpdate,
          "the default interface is _clsReportLLUpdate");
    iface->ReleaseTypeAttr(iattr);
    iface->Release();
    coclass->Release();
  }

  ITypeInfo* info = nullptr;
  library->GetTypeInfoOfGuid(IID__clsReportLLUpdate, &info);
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  Check(attr->typekind == TKIND_DISPATCH || attr->typekind == TKIND_INTERFACE,
        "an automation interface");
  Check((attr->wTypeFlags & TYPEFLAG_FDUAL) != 0, "the interface is dual");
  if (attr->typekind == TKIND_DISPATCH) {
    HREFTYPE ref = 0;
    if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref))) {
      ITypeInfo* vtable = nullptr;
      info->GetRefTypeInfo(ref, &vtable);
      info->ReleaseTypeAttr(attr);
      info->Release();
      info = vtable;
      info->GetTypeAttr(&attr);
    }
  }
  // The operations follow the seven IDispatch entries.
  int first = static_cast<int>(attr->cFuncs) - static_cast<int>(expected.size());
  Check(first >= 0, "17 operations");
  for (size_t i = 0; i < expected.size() && first >= 0; ++i) {
    FUNCDESC* func = nullptr;
    info->GetFuncDesc(first + static_cast<int>(i), &func);
    BSTR fname = nullptr;
    info->GetDocumentation(func->memid, &fname, nullptr, nullptr, nullptr);
    std::wstring got = fname ? fname : L"";
    SysFreeString(fname);
    std::vector<std::string> kinds;
    for (int p = 0; p < func->cParams; ++p) kinds.push_back(Kind(func->lprgelemdescParam[p].tdesc));
    std::string text(got.begin(), got.end());
    Check(got == expected[i].name, "operation " + std::to_string(i + 1) + " is " + text);
    Check(kinds == expected[i].params, text + " has the parameter kinds of the interface");
    info->ReleaseFuncDesc(func);
  }
  info->ReleaseTypeAttr(attr);
  info->Release();
  library->Release();

  // The server can be unloaded once every object is released.
  if (argc > 1) {
    HMODULE dll = LoadLibraryW(argv[1]);
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
    auto get = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    auto can_unload = reinterpret_cast<CanUnloadNow>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
    Check(get != nullptr && can_unload != nullptr, "the server exports its entry points");
    if (get != nullptr && can_unload != nullptr) {
      IClassFactory* factory = nullptr;
      get(CLSID_clsReportLLUpdate, IID_IClassFactory, reinterpret_cast<void**>(&factory));
      IDispatch* object = nullptr;
      factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
      Check(can_unload() == S_FALSE, "DllCanUnloadNow is S_FALSE while an object lives");
      object->Release();
      factory->Release();
      Check(can_unload() == S_OK, "DllCanUnloadNow is S_OK once every object is released");
    }
  }
  CoUninitialize();
  std::printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
