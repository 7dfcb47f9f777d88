// The default settings store: one SQLite database file, named by the connection, with one table
// of (section, key, value). Every write is one transaction, so a value is either stored whole or
// not at all, and a later process reads what an earlier one saved.
#include <sqlite3.h>

#include <optional>

#include "host/objects.h"
#include "host/settings_vfs.h"
#include "llupdate/database.h"
#include "platform/file_system.h"

namespace llupdate::host {
namespace {

using platform::Error;

// The file system the settings file is read and written through: the host's (the factory's), or
// the operating system's where the host has none.
std::shared_ptr<FileSystem> SettingsFileSystem() {
  auto fs = std::dynamic_pointer_cast<FileSystem>(CreateObject(kFileSystemProgId));
  return fs ? fs : platform::NewOsFileSystem();
}

// Whether fs offers files changed in place: then SQLite reaches the settings file through it.
bool OffersInPlaceFiles(FileSystem& fs, const std::string& file) {
  try {
    return fs.OpenInPlace(file, false, false) != nullptr;
  } catch (const Error&) {
    return true;  // offered, but not this file (yet)
  }
}

// The attributes of the settings file, none when it is not there. A link in its place is refused:
// whoever may write the folder could point it at any file.
std::optional<uint32_t> AttributesOf(FileSystem& fs, const std::string& file) {
  const platform::EntryKind kind = fs.KindOf(file);
  if (kind == platform::EntryKind::kNone) return std::nullopt;
  if (kind == platform::EntryKind::kLink) {
    throw Error(platform::kPermissionDenied,
                file +
                    " (ein symbolischer Link: die Einstellungsdatei wird nicht über einen Link "
                    "geöffnet)");
  }
  try {
    return fs.GetAttributes(file);
  } catch (const Error&) {
    return std::nullopt;  // a link into nothing: SQLite says what it finds
  }
}

class SqliteSettings : public VMSettings {
 public:
  SqliteSettings() = default;
  // A store held in memory that starts as a copy of file (empty when there is none): what it
  // saves never reaches the file.
  explicit SqliteSettings(std::string file) : file_(std::move(file)), snapshot_(true) {}

  ~SqliteSettings() override {
    if (db_ != nullptr) sqlite3_close(db_);
  }

  // Opens file with SQLite, through the file system where it offers files changed in place.
  int OpenFile(const std::string& file, int flags, sqlite3** db) {
    if (!fs_) fs_ = SettingsFileSystem();
    if (!vfs_ && OffersInPlaceFiles(*fs_, file)) vfs_ = std::make_unique<SettingsVfs>(fs_);
    return sqlite3_open_v2(file.c_str(), db, flags, vfs_ ? vfs_->name() : nullptr);
  }

  void Init(int16_t, std::shared_ptr<Object>& connection, const std::string&) override {
    auto settings_connection = std::dynamic_pointer_cast<SettingsConnection>(connection);
    if (!connection) throw Error(platform::kObjectNotSet, "Verbindung zur Einstellungsdatei");
    if (!settings_connection) throw Error(platform::kTypeMismatch, "Verbindung");
    if (snapshot_) {
      if (db_ == nullptr) LoadSnapshot();
      return;
    }
    if (db_ != nullptr) {
      sqlite3_close(db_);
      db_ = nullptr;
    }
    file_ = settings_connection->database_file();
    fs_ = settings_connection->file_system() ? settings_connection->file_system()
                                             : SettingsFileSystem();
    vfs_.reset();
    // A file without write permission is opened for reading only, also for root, so that a
    // read-only settings file is never changed.
    bool read_only = false;
    if (std::optional<uint32_t> attributes = AttributesOf(*fs_, file_)) {
      if (*attributes & platform::kAttrDirectory) {
        throw Error(platform::kPathFileAccessError, file_ + " (ein Verzeichnis)");
      }
      read_only = (*attributes & platform::kAttrReadOnly) != 0;
    }
    int flags = read_only ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    sqlite3* db = nullptr;
    int rc = OpenFile(file_, flags, &db);
    if (rc != SQLITE_OK) {
      sqlite3_close(db);
      // The file system's reason where it gave one.
      if (vfs_ && vfs_->open_failure().number() != 0) throw vfs_->open_failure();
      throw Error(platform::kPathNotFound, file_);
    }
    db_ = db;
    sqlite3_busy_timeout(db_, 2000);
    // Reading the schema tells at once whether the file is a database at all.
    Exec("PRAGMA schema_version");
    // A record is only written when the removal of its journal is on the disk too: otherwise a
    // power cut right after the write could bring the journal back, and with it the old value.
    Exec("PRAGMA synchronous = EXTRA");
  }

  void GetSetting(const std::string& section, const std::string& key, std::string& value,
                  const std::string&, const std::string&,
                  const std::string& default_value) override {
    RequireInit();
    if (!TableExists()) {
      value = default_value;
      return;
    }
    sqlite3_stmt* stmt = Prepare("SELECT value FROM settings WHERE section = ?1 AND key = ?2");
    Bind(stmt, section, key);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      value = text ? reinterpret_cast<const char*>(text) : "";
    } else if (rc == SQLITE_DONE) {
      value = default_value;
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw ErrorFor(rc);
  }

  void SaveSetting(const std::string& section, const std::string& key, const std::string& value,
                   const std::string&) override {
    RequireInit();
    Exec("BEGIN IMMEDIATE");
    try {
      Exec(
          "CREATE TABLE IF NOT EXISTS settings (section TEXT NOT NULL COLLATE NOCASE, key TEXT NOT "
          "NULL COLLATE NOCASE, value TEXT NOT NULL, PRIMARY KEY (section, key))");
      sqlite3_stmt* stmt = Prepare(
          "INSERT INTO settings (section, key, value) VALUES (?1, ?2, ?3) "
          "ON CONFLICT (section, key) DO UPDATE SET value = excluded.value");
      Bind(stmt, section, key);
      sqlite3_bind_text(stmt, 3, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
      int rc = sqlite3_step(stmt);
      sqlite3_finalize(stmt);
      if (rc != SQLITE_DONE) throw ErrorFor(rc);
      Exec("COMMIT");
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

 private:
  void LoadSnapshot() {
    if (sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      throw Error(platform::kOutOfMemory, file_);
    }
    fs_ = SettingsFileSystem();
    std::optional<uint32_t> attributes = AttributesOf(*fs_, file_);
    if (!attributes) return;
    if (*attributes & platform::kAttrDirectory) {
      throw Error(platform::kPathFileAccessError, file_ + " (ein Verzeichnis)");
    }
    int rc = CopyFrom(file_, SQLITE_OPEN_READONLY);
    if (rc == SQLITE_READONLY_ROLLBACK) {
      // An interrupted write left its journal, and only an opening for writing rolls it back:
      // that happens in memory, on a copy, so the snapshot holds what the next run will read
      // while the disk stays as it is.
      fs_ = RolledBackCopy(*fs_, file_);
      vfs_.reset();
      rc = CopyFrom(kRolledBack, SQLITE_OPEN_READWRITE);
    }
    if (rc != SQLITE_OK) throw ErrorFor(rc);
  }

  // Copies the database file into the snapshot; SQLite's result, extended.
  int CopyFrom(const std::string& file, int flags) {
    sqlite3* source = nullptr;
    int rc = OpenFile(file, flags, &source);
    if (rc == SQLITE_OK) {
      sqlite3_busy_timeout(source, 2000);
      sqlite3_backup* backup = sqlite3_backup_init(db_, "main", source, "main");
      if (backup != nullptr) {
        sqlite3_backup_step(backup, -1);
        sqlite3_backup_finish(backup);
      }
      rc = sqlite3_extended_errcode(db_);
    }
    sqlite3_close(source);
    return rc;
  }

  // The settings file and the journal beside it, copied into a file system in memory.
  static constexpr char kRolledBack[] = "settings.sqlite";
  static std::shared_ptr<FileSystem> RolledBackCopy(FileSystem& fs, const std::string& file) {
    std::shared_ptr<FileSystem> memory = platform::NewMemoryFileSystem();
    for (const std::string suffix : {"", "-journal"}) {
      std::string bytes;
      try {
        std::unique_ptr<platform::File> in = fs.Open(file + suffix, platform::OpenMode::kRead);
        char buffer[65536];
        for (size_t n; (n = in->Read(buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
      } catch (const Error&) {
        if (suffix.empty()) throw;
        continue;  // the journal is gone: the write was rolled back meanwhile
      }
      memory->Open(kRolledBack + suffix, platform::OpenMode::kWrite)
          ->Finish(bytes.data(), bytes.size());
    }
    return memory;
  }

  void RequireInit() {
    if (db_ == nullptr) throw Error(platform::kObjectNotSet, "VMSettings.Init fehlt");
  }

  Error ErrorFor(int rc) {
    switch (rc & 0xFF) {
      case SQLITE_NOTADB:
      case SQLITE_CORRUPT:
        return Error(platform::kPathFileAccessError, file_ + " ist keine SQLite-Datenbank");
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        return Error(platform::kPermissionDenied, file_ + " ist gesperrt");
      case SQLITE_READONLY:
      case SQLITE_PERM:
        return Error(platform::kPermissionDenied, file_ + " ist schreibgeschützt");
      case SQLITE_FULL:
        return Error(platform::kDiskFull, file_);
      default:
        return Error(platform::kPathFileAccessError, file_ + ": " + sqlite3_errmsg(db_));
    }
  }

  void Exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) throw ErrorFor(rc);
  }

  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr);
    if (rc != SQLITE_OK) throw ErrorFor(rc);
    return stmt;
  }

  static void Bind(sqlite3_stmt* stmt, const std::string& section, const std::string& key) {
    sqlite3_bind_text(stmt, 1, section.data(), static_cast<int>(section.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
  }

  bool TableExists() {
    sqlite3_stmt* stmt =
        Prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'settings'");
    int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw ErrorFor(rc);
    return rc == SQLITE_ROW;
  }

  sqlite3* db_ = nullptr;
  std::shared_ptr<FileSystem> fs_;
  std::unique_ptr<SettingsVfs> vfs_;  // registered until the destructor has closed db_
  std::string file_;
  bool snapshot_ = false;
};

}  // namespace

std::shared_ptr<VMSettings> NewSqliteSettings() { return std::make_shared<SqliteSettings>(); }

}  // namespace llupdate::host

namespace llupdate {

std::shared_ptr<VMSettings> NewSettingsSnapshot(const std::string& file) {
  return std::make_shared<host::SqliteSettings>(file);
}

bool ReadSettingsValue(const std::string& file, const std::string& section, const std::string& key,
                       std::string* value) {
  value->clear();
  std::shared_ptr<FileSystem> fs = host::SettingsFileSystem();
  if (!host::AttributesOf(*fs, file)) return false;
  auto settings = NewSettingsSnapshot(file);
  std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(file);
  settings->Init(0, connection, "Standard");
  const std::string absent(1, '\0');
  settings->GetSetting(section, key, *value, "Standard", "Standard", absent);
  if (*value != absent) return true;
  value->clear();
  return false;
}

}  // namespace llupdate
