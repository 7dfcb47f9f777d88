// Host components for the tests under Wine, as a host application would provide them:
// "LLUpdateTest.Messages", a message component that writes every call as one line to the file
// named by the environment variable LLUPDATE_TEST_MESSAGES, and "VMBSetting.VMSettings", a
// settings store kept in memory for the life of the process.
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

// {6B7C3D1E-2F40-4A51-8B62-7C83D94EA501} and {6B7C3D1E-2F40-4A51-8B62-7C83D94EA502}
const CLSID kMessagesClsid = {
    0x6b7c3d1e, 0x2f40, 0x4a51, {0x8b, 0x62, 0x7c, 0x83, 0xd9, 0x4e, 0xa5, 0x01}};
const CLSID kSettingsClsid = {
    0x6b7c3d1e, 0x2f40, 0x4a51, {0x8b, 0x62, 0x7c, 0x83, 0xd9, 0x4e, 0xa5, 0x02}};
const wchar_t kMessagesClsidText[] = L"{6B7C3D1E-2F40-4A51-8B62-7C83D94EA501}";
const wchar_t kSettingsClsidText[] = L"{6B7C3D1E-2F40-4A51-8B62-7C83D94EA502}";

HMODULE module_handle = nullptr;
long objects = 0;
std::map<std::wstring, std::wstring> settings;  // "section/key" -> value

// The text of an argument, whatever way it was passed.
std::wstring Text(VARIANTARG* arg) {
  VARIANT value;
  VariantInit(&value);
  if (FAILED(VariantCopyInd(&value, arg)) ||
      FAILED(VariantChangeType(&value, &value, 0, VT_BSTR))) {
    VariantClear(&value);
    return L"";
  }
  std::wstring text(value.bstrVal, SysStringLen(value.bstrVal));
  VariantClear(&value);
  return text;
}

// Writes a text into a by-reference argument.
void SetText(VARIANTARG* arg, const std::wstring& text) {
  if (arg->vt == (VT_BYREF | VT_BSTR)) {
    SysFreeString(*arg->pbstrVal);
    *arg->pbstrVal = SysAllocString(text.c_str());
  } else if (arg->vt == (VT_BYREF | VT_VARIANT)) {
    VariantClear(arg->pvarVal);
    arg->pvarVal->vt = VT_BSTR;
    arg->pvarVal->bstrVal = SysAllocString(text.c_str());
  }
}

class Component : public IDispatch {
 public:
  explicit Component(std::vector<std::wstring> names) : names_(std::move(names)) { ++objects; }
  virtual ~Component() { --objects; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      for (size_t k = 0; k < names_.size(); ++k) {
        if (_wcsicmp(names[i], names_[k].c_str()) == 0) ids[i] = static_cast<DISPID>(k + 1);
      }
      if (ids[i] == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    // Arguments in call order.
    std::vector<VARIANTARG*> args;
    for (UINT i = params->cArgs; i > 0; --i) args.push_back(&params->rgvarg[i - 1]);
    if (result != nullptr) VariantInit(result);
    return Call(id, args);
  }

 protected:
  virtual HRESULT Call(DISPID id, std::vector<VARIANTARG*>& args) = 0;

 private:
  ULONG refs_ = 1;
  std::vector<std::wstring> names_;
};

class Messages : public Component {
 public:
  Messages() : Component({L"ShowMessage", L"ReportError"}) {}

 protected:
  HRESULT Call(DISPID id, std::vector<VARIANTARG*>& args) override {
    std::wstring line;
    if (id == 1 && args.size() == 7) {
      line = L"ShowMessage|" + Text(args[1]) + L"|" + Text(args[5]) + L"|" + Text(args[0]);
    } else if (id == 2 && args.size() == 5) {
      line = L"ReportError|" + Text(args[1]) + L"|" + Text(args[2]) + L"|" + Text(args[3]);
    } else {
      return DISP_E_BADPARAMCOUNT;
    }
    for (auto& ch : line) {
      if (ch == L'\r') ch = L'~';
      if (ch == L'\n') ch = L'^';
    }
    wchar_t path[MAX_PATH];
    if (GetEnvironmentVariableW(L"LLUPDATE_TEST_MESSAGES", path, MAX_PATH) == 0) return S_OK;
    FILE* file = _wfopen(path, L"ab");
    if (file == nullptr) return E_FAIL;
    int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8.data(), size, nullptr, nullptr);
    utf8.back() = '\n';
    fwrite(utf8.data(), 1, utf8.size(), file);
    fclose(file);
    return S_OK;
  }
};

class Settings : public Component {
 public:
  Settings() : Component({L"Init", L"GetSetting", L"SaveSetting"}) {}

 protected:
  HRESULT Call(DISPID id, std::vector<VARIANTARG*>& args) override {
    if (id == 1 && args.size() == 3) return S_OK;
    if (id == 2 && args.size() == 6) {
      auto it = settings.find(Text(args[0]) + L"/" + Text(args[1]));
      SetText(args[2], it == settings.end() ? Text(args[5]) : it->second);
      return S_OK;
    }
    if (id == 3 && args.size() == 4) {
      settings[Text(args[0]) + L"/" + Text(args[1])] = Text(args[2]);
      return S_OK;
    }
    return DISP_E_BADPARAMCOUNT;
  }
};

template <class T>
class Factory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    T* object = new T();
    HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory<Messages> messages_factory;
Factory<Settings> settings_factory;

void SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle;
  RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                  nullptr);
  RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
}

void RegisterClass(const wchar_t* clsid, const wchar_t* progid) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(module_handle, path, MAX_PATH);
  std::wstring key = std::wstring(L"CLSID\\") + clsid;
  SetValue(key + L"\\InprocServer32", nullptr, std::wstring(path, n));
  SetValue(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
  SetValue(key + L"\\ProgID", nullptr, progid);
  SetValue(std::wstring(progid) + L"\\Clsid", nullptr, clsid);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) module_handle = instance;
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (clsid == kMessagesClsid) return messages_factory.QueryInterface(iid, out);
  if (clsid == kSettingsClsid) return settings_factory.QueryInterface(iid, out);
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return objects == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  RegisterClass(kMessagesClsidText, L"LLUpdateTest.Messages");
  RegisterClass(kSettingsClsidText, L"VMBSetting.VMSettings");
  return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kMessagesClsidText).c_str());
  RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kSettingsClsidText).c_str());
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"LLUpdateTest.Messages");
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"VMBSetting.VMSettings");
  return S_OK;
}
