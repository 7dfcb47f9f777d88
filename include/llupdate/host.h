// The host components that the component calls but does not contain, and the factory that
// creates them by ProgID. A host (or a test) registers its own implementation under a ProgID;
// the defaults are a console message sink, a SQLite settings store, an in-memory DynArray and the
// operating system's file system.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "llupdate/call.h"
#include "llupdate/error.h"
#include "llupdate/object.h"
#include "llupdate/variant.h"

namespace llupdate {

// The host's message component ("HostMessages"): one per thread, or an instance's own
// (CallOptions).
class HostMessages : public Object {
 public:
  // Shows a message and returns when the user has seen it. level: 3 for errors and the
  // missing-directory notices, 4 for the database-version notice. flag: True for errors, False
  // for notices. number is always 0.
  virtual void ShowMessage(const std::string& text, int32_t level, const std::string& title,
                           int32_t number, bool flag) = 0;
  // The same, for a component that can tell the user more: cause is the error behind the message
  // of a handled error (the file, the system's reason), nullptr for every other message. By
  // default the message alone is shown.
  virtual void ShowMessageWithCause(const std::string& text, int32_t level,
                                    const std::string& title, int32_t number, bool flag,
                                    const Error* cause) {
    (void)cause;
    ShowMessage(text, level, title, number, flag);
  }
  // Reports a run-time error of a routine (used where a file fails to open).
  virtual void ReportError(const std::string& title, const std::string& routine, int32_t number,
                           const std::string& description, bool flag) = 0;
};

// A two-dimensional table of variants, rows by columns, indexed from 0 ("DynArray"). Failing
// calls (a cell outside the table) throw.
class DynArray : public Object {
 public:
  // Sets the table up as the rows first_row..last_row by the columns first_column..last_column,
  // all empty. Called as Dimension(0, 0, 0, last column).
  virtual void Dimension(int32_t first_row, int32_t last_row, int32_t first_column,
                         int32_t last_column) = 0;
  virtual Variant GetValue(int32_t row, int32_t column) = 0;
  virtual void SetValue(int32_t row, int32_t column, const Variant& value) = 0;
  // Appends count empty rows.
  virtual void AddRows(int32_t count) = 0;
  // Inserts count empty rows at row; the rows from there on move down.
  virtual void InsertRows(int32_t row, int32_t count) = 0;
  // The first row at or after start_row whose cell in column equals value, or -1. The last three
  // arguments are always 0, 1 and 0.
  virtual int32_t Find(int32_t start_row, int32_t column, const Variant& value, int32_t a,
                       int32_t b, int32_t c) = 0;
  // Count(1) is the number of rows; Count(2) the number of columns.
  virtual int32_t Count(int32_t dimension) = 0;
  // UpperBound(1) is the index of the last row.
  virtual int32_t UpperBound(int32_t dimension) = 0;
};

// The connection that a host hands to the settings component: here, the settings database file,
// and the file system it is read and written through (none: the factory's, kFileSystemProgId).
// The conversion driver hands the store its own file system where the host names none, so that
// a preview of the driver records nothing on the disk either.
class SettingsConnection : public Object {
 public:
  explicit SettingsConnection(std::string database_file,
                              std::shared_ptr<FileSystem> file_system = nullptr)
      : database_file_(std::move(database_file)), file_system_(std::move(file_system)) {}
  const std::string& database_file() const { return database_file_; }
  const std::shared_ptr<FileSystem>& file_system() const { return file_system_; }

 private:
  std::string database_file_;
  std::shared_ptr<FileSystem> file_system_;
};

// The host's settings component ("VMBSetting.VMSettings").
class VMSettings : public Object {
 public:
  // Hands over the host's connection (a SettingsConnection for the default store).
  virtual void Init(int16_t mode, std::shared_ptr<Object>& connection,
                    const std::string& profile) = 0;
  // Puts the text last stored for section and key into value, or default_value when none is.
  virtual void GetSetting(const std::string& section, const std::string& key, std::string& value,
                          const std::string& profile, const std::string& scope,
                          const std::string& default_value) = 0;
  // Stores value for section and key, for this and every later process.
  virtual void SaveSetting(const std::string& section, const std::string& key,
                           const std::string& value, const std::string& profile) = 0;
};

// The ProgIDs under which the component creates the objects of its host; a host registers its
// own implementation under the same name (RegisterObject) to replace the default.
inline constexpr char kMessagesProgId[] = "HostMessages";                  // HostMessages
inline constexpr char kSettingsProgId[] = "VMBSetting.VMSettings";         // VMSettings
inline constexpr char kDynArrayProgId[] = "DynArray";                      // DynArray
inline constexpr char kFileSystemProgId[] = "Scripting.FileSystemObject";  // FileSystem
inline constexpr char kListLabelProgId[] = "ListLabel.ListLabel";  // the List & Label control

// The object factory. A creator returns a new object, or throws when it cannot.
using ObjectCreator = std::function<std::shared_ptr<Object>()>;

// Registers creator under progid, replacing what was there; returns the previous creator (empty
// when there was none). An empty creator unregisters.
ObjectCreator RegisterObject(const std::string& progid, ObjectCreator creator);

// A new object of progid, or nullptr when nothing is registered or the creator failed.
std::shared_ptr<Object> CreateObject(const std::string& progid);

// Registers a creator for as long as it lives, then puts the previous one back.
class ScopedObjectRegistration {
 public:
  ScopedObjectRegistration(std::string progid, ObjectCreator creator)
      : progid_(std::move(progid)), previous_(RegisterObject(progid_, std::move(creator))) {}
  ~ScopedObjectRegistration() { RegisterObject(progid_, std::move(previous_)); }
  ScopedObjectRegistration(const ScopedObjectRegistration&) = delete;
  ScopedObjectRegistration& operator=(const ScopedObjectRegistration&) = delete;

 private:
  std::string progid_;
  ObjectCreator previous_;
};

// The process-wide defaults of every call (durable writes, lock wait, stop requests) are in
// llupdate/call.h, beside the options of one instance.

// Drops this thread's message component, so that the next message creates a new one from the
// factory (after a host has registered its own sink, for example).
void ResetThreadHostMessages();
// Releases every object this thread holds of its host (the message component; the List & Label
// control goes with the instance that loaded it): a host whose objects live in the thread's
// apartment calls it before the apartment ends.
void ReleaseThreadHostObjects();

}  // namespace llupdate
