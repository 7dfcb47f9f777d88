// The in-process automation server: the class factory, self-registration and the object that
// exposes clsReportLLUpdate through its dual interface.
#include <windows.h>

#include <oleauto.h>
#include <olectl.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "llupdate/call.h"
#include "llupdate/operations.h"
#include "llupdate/report_ll_update.h"
#include "vmreportllupdate.h"
#include "win_host.h"
#include "win_strings.h"

namespace llupdate::windows {
namespace {

HMODULE module_handle = nullptr;
std::atomic<long> live_objects{0};
std::atomic<long> server_locks{0};

// The objects of a thread share the host objects the component keeps for the thread (its message
// component, the List & Label control). They are released with the thread's last object, inside
// its apartment, and the module stays loaded as long as a thread holds any.
thread_local long objects_on_thread = 0;
thread_local HMODULE thread_pin = nullptr;

void ObjectCreatedOnThread() {
  if (objects_on_thread++ == 0 && thread_pin == nullptr) {
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&module_handle), &thread_pin);
  }
}

void ObjectReleasedOnThread() {
  if (--objects_on_thread > 0) return;
  ReleaseThreadHostObjects();
  if (thread_pin != nullptr) {
    // COM holds its own reference until DllCanUnloadNow agrees, so the code still running here
    // stays mapped.
    FreeLibrary(thread_pin);
    thread_pin = nullptr;
  }
}

std::wstring ModulePath() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(module_handle, path, MAX_PATH);
  return std::wstring(path, n);
}

// Hands an error that left the component (its message component failed) to the caller.
HRESULT Failed(const char* what) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    std::wstring text = Wide(what);
    create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
    create->SetSource(const_cast<LPOLESTR>(L"VMReportLLUpdate.clsReportLLUpdate"));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return E_FAIL;
}

std::string Arg(BSTR* text) { return text == nullptr ? "" : Utf8(*text); }

// Members a host sets on an object before its operations, reached by name through IDispatch
// (a script: `Set o.Settings = New MySettings`, `o.LockWaitSeconds = 30`). They are not in the
// type library, so that the interface compiled hosts bind to stays as it always was.
//   Settings         the settings store to use instead of VMBSetting.VMSettings (Nothing: that one)
//   Messages         the message component to use instead of the registered one
//   LockWaitSeconds  how long an operation waits for another run that holds the database (0)
//   DurableWrites    whether a new file is on the disk before it replaces a form (True)
//   KeepRuns         how many runs the journal of a database keeps for taking back (5; 0: none)
//   UndoLastRun(pDBPath [, pSettingsFile])  takes back the newest run (see journal.h): True, or
//                    False when nothing could be begun; settings return only in the file given
//   History(pDBPath) the runs the journal holds, newest first: a line each (CR LF), the fields
//                    separated by tabs: run, started (UTC), user, command, ended, rewritten,
//                    unchanged, failed, changes, bytes kept, taken back (True/False), the run it
//                    took back
constexpr DISPID kSettingsMember = 0x60040000;
constexpr DISPID kMessagesMember = 0x60040001;
constexpr DISPID kLockWaitMember = 0x60040002;
constexpr DISPID kDurableWritesMember = 0x60040003;
constexpr DISPID kKeepRunsMember = 0x60040004;
constexpr DISPID kUndoMember = 0x60040005;
constexpr DISPID kHistoryMember = 0x60040006;
struct HostMember {
  const wchar_t* name;
  DISPID id;
};
constexpr HostMember kHostMembers[] = {
    {L"Settings", kSettingsMember},        {L"Messages", kMessagesMember},
    {L"LockWaitSeconds", kLockWaitMember}, {L"DurableWrites", kDurableWritesMember},
    {L"KeepRuns", kKeepRunsMember},        {L"UndoLastRun", kUndoMember},
    {L"History", kHistoryMember}};

class Report : public _clsReportLLUpdate, public ISupportErrorInfo {
 public:
  Report() {
    ++live_objects;
    ObjectCreatedOnThread();
  }
  virtual ~Report() {
    if (type_info_ != nullptr) type_info_->Release();
    if (settings_ != nullptr) settings_->Release();
    if (messages_ != nullptr) messages_->Release();
    ObjectReleasedOnThread();
    --live_objects;
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID__clsReportLLUpdate) {
      *out = static_cast<_clsReportLLUpdate*>(this);
    } else if (iid == IID_ISupportErrorInfo) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return iid == IID__clsReportLLUpdate ? S_OK : S_FALSE;
  }

  // IDispatch, from the type library embedded in this module.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (index != 0) return DISP_E_BADINDEX;
    HRESULT hr = LoadTypeInfo();
    if (FAILED(hr)) return hr;
    type_info_->AddRef();
    *info = type_info_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (count >= 1) {
      for (const HostMember& member : kHostMembers) {
        if (_wcsicmp(names[0], member.name) != 0) continue;
        ids[0] = member.id;
        for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;  // no named arguments
        return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
      }
    }
    HRESULT hr = LoadTypeInfo();
    return FAILED(hr) ? hr : DispGetIDsOfNames(type_info_, names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception,
                                   UINT* arg_error) override {
    if (id == kUndoMember || id == kHistoryMember) return InvokeJournal(id, flags, params, result);
    if (id >= kSettingsMember && id <= kKeepRunsMember) {
      return InvokeHostMember(id, flags, params, result);
    }
    HRESULT hr = LoadTypeInfo();
    if (FAILED(hr)) return hr;
    // A script passes its variables by reference as variants, which a BSTR* or IDispatch**
    // parameter refuses. No operation assigns its parameters, so their values will do.
    std::vector<VARIANTARG> args(params->rgvarg, params->rgvarg + params->cArgs);
    std::vector<bool> copied(args.size(), false);
    for (size_t i = 0; i < args.size(); ++i) {
      if (args[i].vt == (VT_BYREF | VT_VARIANT)) {
        VARIANTARG value;
        VariantInit(&value);
        if (SUCCEEDED(VariantCopyInd(&value, &args[i]))) {
          args[i] = value;
          copied[i] = true;
        }
      }
    }
    DISPPARAMS by_value = *params;
    by_value.rgvarg = args.empty() ? nullptr : args.data();
    hr = DispInvoke(static_cast<_clsReportLLUpdate*>(this), type_info_, id, flags, &by_value,
                    result, exception, arg_error);
    for (size_t i = 0; i < args.size(); ++i) {
      if (copied[i]) VariantClear(&args[i]);
    }
    return hr;
  }

  // The operations, one method each, written from the IDL: each runs the operation of the table
  // at its place, with the host objects this object was given.
#include "operation_methods.inc"

 private:
  // The host's connection, as the driver takes it.
  static std::shared_ptr<Object> Connection(IDispatch** connection) {
    return std::make_shared<DispatchObject>(connection == nullptr ? nullptr : *connection);
  }
  // The operation at index of the table, which the IDL names name: nullptr when they disagree
  // (a build from an IDL and a table out of step).
  static const llupdate::Operation* OperationAt(size_t index, const char* name) {
    const std::vector<llupdate::Operation>& operations = llupdate::Operations();
    if (index >= operations.size() || std::strcmp(operations[index].name, name) != 0) {
      return nullptr;
    }
    return &operations[index];
  }
  // Runs the operation at index with args; its result is a Boolean, or for the one operation
  // without result an empty variant.
  template <class Result>
  HRESULT Call(size_t index, const char* name, const std::vector<std::string>& args,
               std::shared_ptr<Object> connection, Result* result) {
    const llupdate::Operation* operation = OperationAt(index, name);
    if (operation == nullptr) return Failed("the IDL and the operation table disagree");
    try {
      const Variant done = operation->call(c_, args, connection);
      if constexpr (std::is_same_v<Result, VARIANT>) {
        VariantInit(result);
      } else {
        *result = done == Variant(true) ? VARIANT_TRUE : VARIANT_FALSE;
      }
      return S_OK;
    } catch (const std::exception& e) {
      return Failed(e.what());
    }
  }

  // UndoLastRun and History (see kHostMembers): methods with string arguments.
  HRESULT InvokeJournal(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result) {
    if ((flags & DISPATCH_METHOD) == 0 && (flags & DISPATCH_PROPERTYGET) == 0) {
      return DISP_E_MEMBERNOTFOUND;
    }
    const UINT most = id == kUndoMember ? 2 : 1;
    if (params->cArgs < 1 || params->cArgs > most) return DISP_E_BADPARAMCOUNT;
    std::vector<std::string> args;
    for (UINT i = params->cArgs; i-- > 0;) {  // the arguments stand in reverse order
      VARIANT value;
      VariantInit(&value);
      HRESULT hr = VariantCopyInd(&value, &params->rgvarg[i]);
      if (SUCCEEDED(hr)) hr = VariantChangeType(&value, &value, 0, VT_BSTR);
      if (FAILED(hr)) return hr;
      args.push_back(Utf8(value.bstrVal));
      VariantClear(&value);
    }
    try {
      if (id == kUndoMember) {
        std::shared_ptr<Object> connection;
        if (args.size() > 1 && !args[1].empty()) {
          connection = std::make_shared<SettingsConnection>(args[1]);
        }
        const bool done = c_.UndoLastRun(args[0], connection);
        if (result != nullptr) {
          VariantInit(result);
          result->vt = VT_BOOL;
          result->boolVal = done ? VARIANT_TRUE : VARIANT_FALSE;
        }
        return S_OK;
      }
      std::string text;
      for (const JournalRun& r : c_.History(args[0])) {
        text += r.id + "\t" + r.started + "\t" + r.user + "\t" + r.command + "\t" + r.ended + "\t" +
                std::to_string(r.rewritten) + "\t" + std::to_string(r.unchanged) + "\t" +
                std::to_string(r.failed) + "\t" + std::to_string(r.changes) + "\t" +
                std::to_string(r.kept_bytes) + "\t" + (r.taken_back ? "True" : "False") + "\t" +
                r.undo_of + "\r\n";
      }
      if (result != nullptr) {
        VariantInit(result);
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(Wide(text).c_str());
      }
      return S_OK;
    } catch (const std::exception& e) {
      return Failed(e.what());
    }
  }

  // The members for hosts (see kHostMembers).
  HRESULT InvokeHostMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result) {
    if ((flags & DISPATCH_PROPERTYGET) != 0 && params->cArgs == 0) {
      if (result == nullptr) return S_OK;
      VariantInit(result);
      CallOptions options = c_.call_options();
      if (id == kSettingsMember || id == kMessagesMember) {
        IDispatch* object = id == kSettingsMember ? settings_ : messages_;
        result->vt = VT_DISPATCH;
        result->pdispVal = object;
        if (object != nullptr) object->AddRef();
      } else if (id == kLockWaitMember) {
        result->vt = VT_R8;
        result->dblVal = options.lock_wait_seconds.value_or(0);
      } else if (id == kKeepRunsMember) {
        result->vt = VT_I4;
        result->lVal = options.keep_runs.value_or(KeptRuns());
      } else {
        result->vt = VT_BOOL;
        result->boolVal = options.durable_writes.value_or(true) ? VARIANT_TRUE : VARIANT_FALSE;
      }
      return S_OK;
    }
    if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) == 0)
      return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = VariantCopyInd(&value, &params->rgvarg[0]);
    if (FAILED(hr)) return hr;
    if (id == kSettingsMember || id == kMessagesMember) {
      IDispatch* object = nullptr;
      if (value.vt == VT_DISPATCH || value.vt == VT_UNKNOWN) {
        if (value.punkVal != nullptr) {
          hr = value.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&object));
        }
      } else if (value.vt != VT_EMPTY && value.vt != VT_NULL) {
        hr = DISP_E_TYPEMISMATCH;
      }
      VariantClear(&value);
      if (FAILED(hr)) return hr;
      IDispatch*& slot = id == kSettingsMember ? settings_ : messages_;
      if (slot != nullptr) slot->Release();
      slot = object;  // Nothing gives the registered component back
      CallOptions options = c_.call_options();
      if (id == kSettingsMember) {
        options.settings = object != nullptr ? NewDispatchSettings(object) : nullptr;
      } else {
        options.messages = object != nullptr ? NewDispatchMessages(object) : nullptr;
      }
      c_.SetCallOptions(options);
      return S_OK;
    }
    CallOptions options = c_.call_options();
    hr = VariantChangeType(&value, &value, 0,
                           id == kLockWaitMember   ? VT_R8
                           : id == kKeepRunsMember ? VT_I4
                                                   : VT_BOOL);
    if (SUCCEEDED(hr)) {
      if (id == kKeepRunsMember) {
        if (value.lVal < 0) {
          hr = E_INVALIDARG;
        } else {
          options.keep_runs = value.lVal;
        }
      } else if (id == kLockWaitMember) {
        if (value.dblVal < 0) {
          hr = E_INVALIDARG;
        } else {
          options.lock_wait_seconds = value.dblVal;
        }
      } else {
        options.durable_writes = value.boolVal != VARIANT_FALSE;
      }
    }
    VariantClear(&value);
    if (SUCCEEDED(hr)) c_.SetCallOptions(options);
    return hr;
  }

  HRESULT LoadTypeInfo() {
    if (type_info_ != nullptr) return S_OK;
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &library);
    if (FAILED(hr)) return hr;
    hr = library->GetTypeInfoOfGuid(IID__clsReportLLUpdate, &type_info_);
    library->Release();
    return hr;
  }

  std::atomic<ULONG> refs_{1};
  ITypeInfo* type_info_ = nullptr;
  IDispatch* settings_ = nullptr;
  IDispatch* messages_ = nullptr;
  clsReportLLUpdate c_;
};

class Factory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // a static object
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Report* report = new (std::nothrow) Report();
    if (report == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = report->QueryInterface(iid, out);
    report->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++server_locks;
    } else {
      --server_locks;
    }
    return S_OK;
  }
};

Factory factory;

const wchar_t kProgId[] = L"VMReportLLUpdate.clsReportLLUpdate";
const wchar_t kClsid[] = L"{75BE382A-3718-4C82-9206-C04392B451EF}";
const wchar_t kLibid[] = L"{FD4587C5-F900-442E-975F-0872B14BD395}";

bool SetValue(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle;
  if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  LONG rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return rc == ERROR_SUCCESS;
}

}  // namespace
}  // namespace llupdate::windows

using namespace llupdate::windows;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    module_handle = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (clsid != CLSID_clsReportLLUpdate) return CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return live_objects == 0 && server_locks == 0 ? S_OK : S_FALSE;
}

// Exported by oleaut32 since Windows Vista, not declared by mingw-w64's headers.
extern "C" {
WINOLEAUTAPI RegisterTypeLibForUser(ITypeLib* library, OLECHAR* path, OLECHAR* help_dir);
WINOLEAUTAPI UnRegisterTypeLibForUser(REFGUID libid, WORD major, WORD minor, LCID lcid,
                                      SYSKIND kind);
}

namespace {

// The class, its ProgID and the type library, for the whole machine (below HKEY_CLASSES_ROOT:
// an elevated prompt) or for the user who runs the registration (below
// HKEY_CURRENT_USER\Software\Classes: no administrator needed).
HRESULT Register(bool for_user) {
  const HKEY root = for_user ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT;
  const std::wstring classes = for_user ? L"Software\\Classes\\" : L"";
  const std::wstring clsid_key = classes + L"CLSID\\" + kClsid;
  const std::wstring progid_key = classes + kProgId;
  bool ok = SetValue(root, clsid_key, nullptr, L"clsReportLLUpdate") &&
            SetValue(root, clsid_key + L"\\InprocServer32", nullptr, ModulePath()) &&
            SetValue(root, clsid_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment") &&
            SetValue(root, clsid_key + L"\\ProgID", nullptr, kProgId) &&
            SetValue(root, clsid_key + L"\\TypeLib", nullptr, kLibid) &&
            SetValue(root, clsid_key + L"\\VERSION", nullptr, L"2.0") &&
            SetValue(root, progid_key, nullptr, L"clsReportLLUpdate") &&
            SetValue(root, progid_key + L"\\Clsid", nullptr, kClsid);
  if (!ok) return SELFREG_E_CLASS;
  ITypeLib* library = nullptr;
  HRESULT hr = LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &library);
  if (SUCCEEDED(hr)) {
    std::wstring path = ModulePath();
    hr = for_user ? RegisterTypeLibForUser(library, path.data(), nullptr)
                  : RegisterTypeLib(library, path.data(), nullptr);
    library->Release();
  }
  return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

HRESULT Unregister(bool for_user) {
#ifdef _WIN64
  const SYSKIND kind = SYS_WIN64;
#else
  const SYSKIND kind = SYS_WIN32;
#endif
  // Not registered is no failure.
  if (for_user) {
    UnRegisterTypeLibForUser(LIBID_VMReportLLUpdate, 2, 0, LOCALE_NEUTRAL, kind);
  } else {
    UnRegisterTypeLib(LIBID_VMReportLLUpdate, 2, 0, LOCALE_NEUTRAL, kind);
  }
  const HKEY root = for_user ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT;
  const std::wstring classes = for_user ? L"Software\\Classes\\" : L"";
  RegDeleteTreeW(root, (classes + L"CLSID\\" + kClsid).c_str());
  RegDeleteTreeW(root, (classes + kProgId).c_str());
  return S_OK;
}

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() { return Register(false); }

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return Unregister(false); }

// regsvr32 /n /i:user registers for the current user only, regsvr32 /u /n /i:user removes that
// registration; without "user" (regsvr32 /n /i) it is the machine's, as DllRegisterServer.
extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR command_line) {
  const bool for_user = command_line != nullptr && _wcsicmp(command_line, L"user") == 0;
  if (command_line != nullptr && *command_line != 0 && !for_user) return E_INVALIDARG;
  return install ? Register(for_user) : Unregister(for_user);
}
