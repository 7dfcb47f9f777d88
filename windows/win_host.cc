#include "win_host.h"

#include <dispex.h>

#include <vector>

#include "host/list_label.h"
#include "host/objects.h"
#include "platform/error.h"
#include "win_strings.h"

namespace llupdate::windows {
namespace {

using platform::Error;

// An error of a late-bound call, with the called component's description when it gave one.
Error CallError(HRESULT hr, const EXCEPINFO& info, const std::string& what) {
  std::string text = what;
  if (info.bstrDescription != nullptr) text += ": " + Utf8(info.bstrDescription);
  int32_t number = info.scode != 0 ? static_cast<int32_t>(info.scode & 0xFFFF)
                                   : static_cast<int32_t>(hr & 0xFFFF);
  if (info.bstrDescription) SysFreeString(info.bstrDescription);
  if (info.bstrSource) SysFreeString(info.bstrSource);
  if (info.bstrHelpFile) SysFreeString(info.bstrHelpFile);
  return Error(number == 0 ? platform::kInternalError : number, text);
}

// Calls a method of an automation object. args are in call order (reversed here, as IDispatch
// wants them).
void Call(IDispatch* object, DISPID id, std::vector<VARIANTARG> args, const std::string& what) {
  std::vector<VARIANTARG> reversed(args.rbegin(), args.rend());
  DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr,
                       static_cast<UINT>(reversed.size()), 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO info = {};
  UINT bad = 0;
  HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                              &info, &bad);
  VariantClear(&result);
  if (FAILED(hr)) throw CallError(hr, info, what);
}

// Whether an object is a script's own (it answers as script engines do).
bool IsScriptObject(IDispatch* object) {
  IDispatchEx* script_object = nullptr;
  if (FAILED(object->QueryInterface(__uuidof(IDispatchEx),
                                    reinterpret_cast<void**>(&script_object)))) {
    return false;
  }
  script_object->Release();
  return true;
}

DISPID IdOf(IDispatch* object, const wchar_t* name) {
  DISPID id = 0;
  HRESULT hr = E_NOINTERFACE;
  // A script's own object (a VBScript class) is asked the way script engines ask one another:
  // some engines answer only that way.
  IDispatchEx* script_object = nullptr;
  if (SUCCEEDED(object->QueryInterface(__uuidof(IDispatchEx),
                                       reinterpret_cast<void**>(&script_object)))) {
    BSTR text = SysAllocString(name);
    hr = script_object->GetDispID(text, fdexNameCaseInsensitive, &id);
    SysFreeString(text);
    script_object->Release();
  }
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  if (FAILED(hr)) hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr))
    throw Error(438, "Objekt unterstützt diese Eigenschaft oder Methode nicht: " +
                         Utf8(name, static_cast<int>(wcslen(name))));
  return id;
}

VARIANTARG Bstr(BSTR text) {
  VARIANTARG v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = text;
  return v;
}

template <class T>
VARIANTARG ByRef(VARTYPE type, T* value) {
  VARIANTARG v;
  VariantInit(&v);
  v.vt = type | VT_BYREF;
  v.byref = value;
  return v;
}

VARIANTARG Value(VARTYPE type, LONG value) {
  VARIANTARG v;
  VariantInit(&v);
  v.vt = type;
  if (type == VT_I2) {
    v.iVal = static_cast<SHORT>(value);
  } else if (type == VT_BOOL) {
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  } else {
    v.lVal = value;
  }
  return v;
}

VARIANTARG Missing() {
  VARIANTARG v;
  VariantInit(&v);
  v.vt = VT_ERROR;
  v.scode = DISP_E_PARAMNOTFOUND;
  return v;
}

// A BSTR that frees itself.
class Text {
 public:
  explicit Text(const std::string& utf8) : bstr_(NewBstr(utf8)) {}
  ~Text() { SysFreeString(bstr_); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  BSTR get() const { return bstr_; }
  BSTR* address() { return &bstr_; }

 private:
  BSTR bstr_;
};

IDispatch* CreateByProgId(const std::wstring& progid) {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(progid.c_str(), &clsid))) return nullptr;
  IDispatch* dispatch = nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch,
                              reinterpret_cast<void**>(&dispatch)))) {
    return nullptr;
  }
  return dispatch;
}

// A handled error's message says where it happened; its cause says what happened (a host
// component that is not registered, a file and the system's reason): both go to the person,
// whichever component shows them.
std::string WithCause(const std::string& text, bool flag, const Error* cause) {
  if (!flag) cause = nullptr;
  if (cause == nullptr || text.find(cause->description()) != std::string::npos) return text;
  return text + "\r\n    cause: " + std::to_string(cause->number()) + " " + cause->description();
}

// The host's message component, named in our class key.
class DispatchMessages : public HostMessages {
 public:
  explicit DispatchMessages(IDispatch* object) : object_(object) {}
  ~DispatchMessages() override { object_->Release(); }
  void ShowMessage(const std::string& text, int32_t level, const std::string& title, int32_t number,
                   bool flag) override {
    ShowMessageWithCause(text, level, title, number, flag, nullptr);
  }
  void ShowMessageWithCause(const std::string& text, int32_t level, const std::string& title,
                            int32_t number, bool flag, const Error* cause) override {
    Text t(WithCause(text, flag, cause)), ti(title);
    LONG lvl = level;
    VARIANT_BOOL f = flag ? VARIANT_TRUE : VARIANT_FALSE;
    IDispatch* nothing = nullptr;
    Call(object_, IdOf(object_, L"ShowMessage"),
         {Bstr(t.get()), ByRef(VT_I4, &lvl), Bstr(ti.get()), Value(VT_I4, number), Missing(),
          ByRef(VT_BOOL, &f), ByRef(VT_DISPATCH, &nothing)},
         "HostMessages.ShowMessage");
  }
  void ReportError(const std::string& title, const std::string& routine, int32_t number,
                   const std::string& description, bool flag) override {
    Text ti(title), r(routine), d(description);
    LONG n = number;
    Call(object_, IdOf(object_, L"ReportError"),
         {ByRef(VT_BSTR, ti.address()), ByRef(VT_BSTR, r.address()), ByRef(VT_I4, &n),
          ByRef(VT_BSTR, d.address()), Value(VT_BOOL, flag)},
         "HostMessages.ReportError");
  }

 private:
  IDispatch* object_;
};

// Without a message component of the host, messages go where nothing waits for a person:
//  - to standard error when the process has one (a console host, a redirected run);
//  - else to a message box when the process runs on the visible desktop and
//    LLUPDATE_UNATTENDED is not set (an interactive program);
//  - else to the Windows event log (Application, source "VMReportLLUpdate"): a service, a
//    scheduled task, any unattended host.
class FallbackMessages : public HostMessages {
 public:
  void ShowMessage(const std::string& text, int32_t level, const std::string& title, int32_t number,
                   bool flag) override {
    ShowMessageWithCause(text, level, title, number, flag, nullptr);
  }
  void ShowMessageWithCause(const std::string& text, int32_t level, const std::string& title,
                            int32_t, bool flag, const Error* cause) override {
    const char* word = level == 4 || !flag ? "notice" : "error";
    Deliver(title, std::string(word) + ": " + WithCause(text, flag, cause), level == 4 || !flag);
  }
  void ReportError(const std::string& title, const std::string& routine, int32_t number,
                   const std::string& description, bool) override {
    Deliver(title, "error: " + routine + ": " + std::to_string(number) + " " + description, false);
  }

 private:
  static bool HasStandardError() {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           GetFileType(handle) != FILE_TYPE_UNKNOWN;
  }
  static bool Interactive() {
    if (GetEnvironmentVariableW(L"LLUPDATE_UNATTENDED", nullptr, 0) > 0) return false;
    USEROBJECTFLAGS flags = {};
    HWINSTA station = GetProcessWindowStation();
    return station != nullptr &&
           GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
  }

  void Deliver(const std::string& title, const std::string& text, bool notice) {
    if (HasStandardError()) {
      std::string line = "[" + title + "] " + text + "\r\n";
      DWORD written = 0;
      WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
                &written, nullptr);
    } else if (Interactive()) {
      MessageBoxW(nullptr, Wide(text).c_str(), Wide(title).c_str(),
                  MB_OK | (notice ? MB_ICONINFORMATION : MB_ICONEXCLAMATION));
    } else if (HANDLE log = RegisterEventSourceW(nullptr, L"VMReportLLUpdate")) {
      std::wstring wide = Wide(title + ": " + text);
      LPCWSTR strings[] = {wide.c_str()};
      ReportEventW(log, notice ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1,
                   0, strings, nullptr);
      DeregisterEventSource(log);
    }
  }
};

std::wstring ReadString(HKEY root, const wchar_t* path, const wchar_t* name) {
  HKEY key;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return L"";
  wchar_t value[256];
  DWORD size = sizeof value, type = 0;
  LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return L"";
  return std::wstring(value, wcsnlen(value, size / sizeof(wchar_t)));
}

// The host's message component: named for the user, else for the machine, else (as earlier
// versions had it) in the class key.
std::wstring RegisteredMessagesProgId() {
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    std::wstring progid = ReadString(root, kSettingsKey, kMessagesValue);
    if (!progid.empty()) return progid;
  }
  return ReadString(HKEY_CLASSES_ROOT, kClassKey, kMessagesValue);
}

// The host's settings component, called late-bound by name.
class DispatchSettings : public VMSettings {
 public:
  explicit DispatchSettings(IDispatch* object) : object_(object) {}
  ~DispatchSettings() override { object_->Release(); }
  void Init(int16_t mode, std::shared_ptr<Object>& connection,
            const std::string& profile) override {
    auto dispatch = std::dynamic_pointer_cast<DispatchObject>(connection);
    IDispatch* pointer = dispatch ? dispatch->get() : nullptr;
    Text p(profile);
    Call(object_, IdOf(object_, L"Init"),
         {Value(VT_I2, mode), ByRef(VT_DISPATCH, &pointer), Bstr(p.get())}, "VMSettings.Init");
  }
  void GetSetting(const std::string& section, const std::string& key, std::string& value,
                  const std::string& profile, const std::string& scope,
                  const std::string& default_value) override {
    Text s(section), k(key), v(value), p(profile), sc(scope), d(default_value);
    // A compiled store takes a String by reference; a script's own class takes a Variant, and
    // only through one does its answer come back.
    VARIANT answer;
    VariantInit(&answer);
    answer.vt = VT_BSTR;
    answer.bstrVal = NewBstr(value);
    const bool script = IsScriptObject(object_);
    try {
      Call(object_, IdOf(object_, L"GetSetting"),
           {Bstr(s.get()), Bstr(k.get()),
            script ? ByRef(VT_VARIANT, &answer) : ByRef(VT_BSTR, v.address()), Bstr(p.get()),
            Bstr(sc.get()), Bstr(d.get())},
           "VMSettings.GetSetting");
    } catch (...) {
      VariantClear(&answer);
      throw;
    }
    HRESULT hr = script ? VariantChangeType(&answer, &answer, 0, VT_BSTR) : S_OK;
    if (SUCCEEDED(hr)) value = Utf8(script ? answer.bstrVal : v.get());
    VariantClear(&answer);
    if (FAILED(hr)) throw Error(platform::kTypeMismatch, "VMSettings.GetSetting");
  }
  void SaveSetting(const std::string& section, const std::string& key, const std::string& value,
                   const std::string& profile) override {
    Text s(section), k(key), v(value), p(profile);
    Call(object_, IdOf(object_, L"SaveSetting"),
         {Bstr(s.get()), Bstr(k.get()), ByRef(VT_BSTR, v.address()), Bstr(p.get())},
         "VMSettings.SaveSetting");
  }

 private:
  IDispatch* object_;
};

// The List & Label control, called by its dispatch identifiers.
class DispatchListLabel : public host::ListLabelControl {
 public:
  explicit DispatchListLabel(IDispatch* object) : object_(object) {}
  ~DispatchListLabel() override { object_->Release(); }
  void OpenProjectFile(int32_t mode, const std::string& path, int32_t flags) override {
    Text p(path);
    Call(object_, 220, {Value(VT_I4, mode), Bstr(p.get()), Value(VT_I4, flags)}, "OpenProjectFile");
  }
  void GetProjectHandle(int32_t& project) override {
    LONG handle = project;
    Call(object_, 213, {ByRef(VT_I4, &handle)}, "GetProjectHandle");
    project = handle;
  }
  void GetChildHandle(int32_t& project, const std::string& part, int32_t& child) override {
    LONG p = project, c = child;
    Text name(part);
    Call(object_, 216, {ByRef(VT_I4, &p), Bstr(name.get()), ByRef(VT_I4, &c)}, "GetChildHandle");
    project = p;
    child = c;
  }
  void SaveProjectFile(const std::string& path) override {
    Text p(path);
    Call(object_, 221, {Bstr(p.get())}, "SaveProjectFile");
  }
  void CloseProjectFile() override { Call(object_, 222, {}, "CloseProjectFile"); }

 private:
  IDispatch* object_;
};

}  // namespace

std::shared_ptr<VMSettings> NewDispatchSettings(IDispatch* object) {
  object->AddRef();
  return std::make_shared<DispatchSettings>(object);
}

std::shared_ptr<HostMessages> NewDispatchMessages(IDispatch* object) {
  object->AddRef();
  return std::make_shared<DispatchMessages>(object);
}

}  // namespace llupdate::windows

namespace llupdate::host {

void RegisterPlatformObjects(std::map<std::string, ObjectCreator>& creators) {
  using namespace llupdate::windows;
  creators[kFileSystemProgId] = [] { return NewWinFileSystem(); };
  creators[kSettingsProgId] = []() -> std::shared_ptr<Object> {
    IDispatch* settings = CreateByProgId(L"VMBSetting.VMSettings");
    if (settings == nullptr) return nullptr;
    return std::make_shared<DispatchSettings>(settings);
  };
  creators[kMessagesProgId] = []() -> std::shared_ptr<Object> {
    std::wstring progid = RegisteredMessagesProgId();
    if (progid.empty()) return std::make_shared<FallbackMessages>();
    IDispatch* messages = CreateByProgId(progid);
    if (messages == nullptr) return nullptr;
    return std::make_shared<DispatchMessages>(messages);
  };
  creators[kListLabelProgId] = []() -> std::shared_ptr<Object> {
    IDispatch* control = CreateByProgId(L"ListLabel.ListLabel");
    if (control == nullptr)
      return NewProjectResaver();  // the stand-in where List & Label is absent
    return std::make_shared<DispatchListLabel>(control);
  };
}

}  // namespace llupdate::host
