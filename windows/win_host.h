// The host components on Windows: the host's own message and settings components, called
// late-bound by name, and the List & Label control called by dispatch identifier.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <memory>
#include <string>

#include "llupdate/host.h"
#include "llupdate/object.h"
#include "platform/file_system.h"

namespace llupdate::windows {

// An automation object that the host handed in (the database connection), held as a component
// object.
class DispatchObject : public Object {
 public:
  explicit DispatchObject(IDispatch* dispatch) : dispatch_(dispatch) {
    if (dispatch_ != nullptr) dispatch_->AddRef();
  }
  ~DispatchObject() override {
    if (dispatch_ != nullptr) dispatch_->Release();
  }
  IDispatch* get() const { return dispatch_; }

 private:
  IDispatch* dispatch_;
};

// The registry key of our class, where a host names its message component.
inline constexpr wchar_t kClassKey[] = L"CLSID\\{75BE382A-3718-4C82-9206-C04392B451EF}";
inline constexpr wchar_t kMessagesValue[] = L"HostMessagesProgID";
// The key under HKEY_CURRENT_USER (for one user) or HKEY_LOCAL_MACHINE (for all) where a host
// names its message component; registering and unregistering the server leave it alone.
inline constexpr wchar_t kSettingsKey[] = L"Software\\VMReportLLUpdate";

std::shared_ptr<platform::FileSystem> NewWinFileSystem();

// The settings store and message component a host hands to one object (a script's own classes,
// set as its Settings and Messages), as the component's own: the object's calls use them instead
// of the registered ones (CallOptions). Each holds a reference of the object while it lives.
std::shared_ptr<VMSettings> NewDispatchSettings(IDispatch* object);
std::shared_ptr<HostMessages> NewDispatchMessages(IDispatch* object);

}  // namespace llupdate::windows
