// Creating host components inside the component: like CreateObject, but a failure is a run-time
// error (429 when the object cannot be created, 13 when it is not of the interface asked for).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "llupdate/host.h"
#include "llupdate/preview.h"
#include "platform/error.h"

namespace llupdate::host {

using llupdate::kDynArrayProgId;
using llupdate::kFileSystemProgId;
using llupdate::kMessagesProgId;
using llupdate::kSettingsProgId;

template <class T>
std::shared_ptr<T> CreateAs(const std::string& progid) {
  std::shared_ptr<Object> object = CreateObject(progid);
  if (!object) {
    throw platform::Error(platform::kCannotCreateObject,
                          progid +
                              " (nicht registriert: der Host muss diese Komponente bereitstellen "
                              "und registrieren)");
  }
  std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(object);
  if (!typed) throw platform::Error(platform::kTypeMismatch, progid);
  return typed;
}

// A new, empty DynArray from the factory.
inline std::shared_ptr<DynArray> NewDynArray() { return CreateAs<DynArray>(kDynArrayProgId); }

// This thread's message component, created from the factory on first use. Throws HostFailure
// when it cannot be created.
HostMessages& ThreadHostMessages();

// The default in-memory DynArray.
std::shared_ptr<DynArray> NewMemoryDynArray();

// Adds the components that differ by platform (the file system, the settings store, and where
// they differ the message component) to the defaults.
void RegisterPlatformObjects(std::map<std::string, ObjectCreator>& creators);

// The default settings store, in SQLite.
std::shared_ptr<VMSettings> NewSqliteSettings();
using llupdate::NewSettingsSnapshot;

}  // namespace llupdate::host
