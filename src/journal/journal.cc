#include "journal/journal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <utility>

#include "platform/error.h"
#include "text/text.h"

namespace llupdate::journal {
namespace {

using platform::Escape;
using platform::FileSystem;
using platform::Unescape;

constexpr char kMagic[] = "llupdate-journal";
constexpr char kUndoProgress[] = "UndoLastRun";
constexpr size_t kLargestRecord = 64u << 20;  // a record larger than this is no record of ours

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t from = 0;
  for (;;) {
    size_t tab = line.find('\t', from);
    fields.push_back(Unescape(line.substr(from, tab - from)));
    if (tab == std::string::npos) return fields;
    from = tab + 1;
  }
}

std::string Line(std::initializer_list<std::string> fields) {
  std::string line;
  for (const std::string& f : fields) line += (line.empty() ? "" : "\t") + Escape(f);
  return line + "\n";
}

const char* PlaceName(Place place) { return place == Place::kForms ? "forms" : "delivery"; }

int Number(const std::string& text) {
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || n > 100000000) return 0;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::string Key(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  while (path.size() > 1 && path.back() == '\\') path.pop_back();
  return text::FoldCase(path);
}

std::pair<std::string, std::string> Split(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

// The time as the record gives it: seconds since 1970 and "YYYY-MM-DD HH:MM:SS" in UTC (the
// calendar of the standard library, so that no time zone of the machine enters).
std::pair<int64_t, std::string> Now(int* millis) {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  *millis = static_cast<int>(time.subseconds().count());
  char text[96];  // room for any value of the fields, as the compiler counts
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return {floor<seconds>(now).time_since_epoch().count(), text};
}

// A settings file by its real path, so that every spelling of it is the same store.
std::string StoreName(FileSystem& fs, const std::string& store) {
  if (store.empty()) return store;
  const std::string real = fs.RealPath(store);
  return real.empty() ? store : real;
}

bool PlainName(FileSystem& fs, const std::string& name) {
  return platform::IsPlainName(name) && fs.WhyNotAName(name).empty();
}

std::string ReadText(FileSystem& fs, const std::string& path, size_t limit) {
  std::unique_ptr<platform::File> file = fs.Open(path, platform::OpenMode::kRead);
  std::string text;
  char buffer[65536];
  while (size_t n = file->Read(buffer, sizeof buffer)) {
    text.append(buffer, n);
    if (text.size() > limit) throw platform::Error(platform::kPathFileAccessError, path);
  }
  return text;
}

int64_t SizeOf(FileSystem& fs, const std::string& path) {
  try {
    std::unique_ptr<platform::File> file = fs.Open(path, platform::OpenMode::kRead);
    int64_t size = 0;
    char buffer[65536];
    while (size_t n = file->Read(buffer, sizeof buffer)) size += static_cast<int64_t>(n);
    return size;
  } catch (const platform::Error&) {
    return 0;
  }
}

// An error's number and description, its path as a person finds it when a reporter is given.
std::string Reason(const platform::Error& error, host::Reporter* reporter = nullptr) {
  const platform::Error e = host::WithShownPath(reporter, error);
  return std::to_string(e.number()) + " " + e.description();
}

std::string FolderOfPlace(const Folders& db, Place place) {
  return place == Place::kForms ? db.forms : db.delivery;
}

// Removes a run from the journal, whole: first its record goes (from then on no history shows
// it and nothing takes it back), then its kept files and folder. A run this account may not
// remove, or one in use, stays whole or half pruned.
void Prune(FileSystem& fs, const std::string& journal, const std::string& id, bool named_run) {
  const std::string pruning = journal + "\\" + id + ".prune";
  try {
    if (named_run) fs.MoveFile(journal + "\\" + id + kRecordSuffix, pruning);
    const std::string folder = journal + "\\" + id;
    if (fs.FolderExists(folder)) {
      for (const platform::FileEntry& f : fs.ListFiles(folder)) fs.DeleteFile(f.path, true);
      fs.RemoveFolder(folder);
    }
    fs.DeleteFile(pruning, true);
  } catch (const platform::Error&) {
    // another account's run, or one in use: the next run that may prunes it
  }
}

}  // namespace

std::string JournalFolder(const Folders& db) { return db.forms + "\\" + kFolderName; }

std::string FormatHeader(const Record& r) {
  std::string text = Line({kMagic, std::to_string(r.version)});
  text += Line({"run", r.id});
  text += Line({"who", r.who.user, r.who.account, r.who.host, r.who.process});
  text += Line({"started", std::to_string(r.started), r.started_text});
  text += Line({"command", r.command});
  if (!r.undo_of.empty()) text += Line({"undo-of", r.undo_of});
  return text;
}

std::string FormatChange(const Change& c) {
  switch (c.kind) {
    case Change::Kind::kReplaced:
      return Line({"replaced", PlaceName(c.place), c.name, c.kept, c.identity,
                   std::to_string(c.attributes)});
    case Change::Kind::kCreated:
      return Line({"created", PlaceName(c.place), c.name, c.identity});
    case Change::Kind::kRemoved:
      return Line({"removed", PlaceName(c.place), c.name, c.kept, std::to_string(c.attributes)});
    case Change::Kind::kAttributes:
      return Line({"attributes", PlaceName(c.place), c.name, std::to_string(c.attributes),
                   std::to_string(c.attributes_after)});
    case Change::Kind::kSetting:
      return Line({"setting", c.store, c.section, c.key, c.before, c.after});
  }
  return "";
}

std::string FormatEnd(const Record& r) {
  return Line({"ended", r.ended, std::to_string(r.counts.examined),
               std::to_string(r.counts.rewritten), std::to_string(r.counts.unchanged),
               std::to_string(r.counts.failed)});
}

Record ParseRecord(const std::string& text) {
  Record r;
  size_t from = 0;
  bool first = true;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) break;  // a line cut short by a crash is no line
    std::vector<std::string> f = Fields(text.substr(from, end - from));
    from = end + 1;
    if (first) {
      first = false;
      if (f.size() < 2 || f[0] != kMagic) {
        r.refused = "kein Journal-Eintrag";
        return r;
      }
      r.version = Number(f[1]);
      if (r.version != kFormatVersion) {
        r.refused = "von einer späteren Version geschrieben (Format " + f[1] + ")";
        return r;
      }
      continue;
    }
    const std::string& kind = f[0];
    auto place = [&](const std::string& p, Change* c) {
      if (p == "forms" || p == "delivery") {
        c->place = p == "forms" ? Place::kForms : Place::kDelivery;
        return true;
      }
      return false;
    };
    Change c;
    if (kind == "run" && f.size() >= 2) {
      r.id = f[1];
    } else if (kind == "who" && f.size() >= 5) {
      r.who = {f[1], f[2], f[3], f[4]};
    } else if (kind == "started" && f.size() >= 3) {
      r.started = Number(f[1]);
      r.started_text = f[2];
    } else if (kind == "command" && f.size() >= 2) {
      r.command = f[1];
    } else if (kind == "undo-of" && f.size() >= 2) {
      r.undo_of = f[1];
    } else if (kind == "replaced" && f.size() >= 6 && place(f[1], &c)) {
      c.kind = Change::Kind::kReplaced;
      c.name = f[2], c.kept = f[3], c.identity = f[4];
      c.attributes = static_cast<uint32_t>(Number(f[5]));
      r.changes.push_back(c);
    } else if (kind == "created" && f.size() >= 4 && place(f[1], &c)) {
      c.kind = Change::Kind::kCreated;
      c.name = f[2], c.identity = f[3];
      r.changes.push_back(c);
    } else if (kind == "removed" && f.size() >= 5 && place(f[1], &c)) {
      c.kind = Change::Kind::kRemoved;
      c.name = f[2], c.kept = f[3];
      c.attributes = static_cast<uint32_t>(Number(f[4]));
      r.changes.push_back(c);
    } else if (kind == "attributes" && f.size() >= 5 && place(f[1], &c)) {
      c.kind = Change::Kind::kAttributes;
      c.name = f[2];
      c.attributes = static_cast<uint32_t>(Number(f[3]));
      c.attributes_after = static_cast<uint32_t>(Number(f[4]));
      r.changes.push_back(c);
    } else if (kind == "setting" && f.size() >= 6) {
      c.kind = Change::Kind::kSetting;
      c.store = f[1], c.section = f[2], c.key = f[3], c.before = f[4], c.after = f[5];
      r.changes.push_back(c);
    } else if (kind == "ended" && f.size() >= 6) {
      r.ended = f[1];
      r.counts.examined = Number(f[2]);
      r.counts.rewritten = Number(f[3]);
      r.counts.unchanged = Number(f[4]);
      r.counts.failed = Number(f[5]);
    }
  }
  // A record whose first line is not whole: its run was killed as it began, having done nothing.
  r.blank = first;
  return r;
}

std::vector<Record> ReadRecords(FileSystem& fs, const Folders& db) {
  const std::string journal = JournalFolder(db);
  std::vector<Record> records;
  if (!fs.FolderExists(journal)) return records;
  const size_t suffix = sizeof kRecordSuffix - 1;
  for (const platform::FileEntry& f : fs.ListFiles(journal)) {
    if (f.name.size() <= suffix ||
        f.name.compare(f.name.size() - suffix, suffix, kRecordSuffix) != 0) {
      continue;
    }
    const std::string id = f.name.substr(0, f.name.size() - suffix);
    Record r;
    try {
      r = ParseRecord(ReadText(fs, f.path, kLargestRecord));
    } catch (const platform::Error& e) {
      r.refused = "nicht lesbar: " + Reason(e);
    }
    const std::string folder = journal + "\\" + id;
    const std::string owner = fs.FileOwner(f.path);
    if (!r.refused.empty() || r.blank) {
    } else if (r.id != id) {
      r.refused = "der Eintrag nennt einen anderen Lauf (" + r.id + ")";
    } else if (!owner.empty() && owner != r.who.account) {
      r.refused =
          "er gehört einem anderen Konto (" + owner + ") als dem des Laufs (" + r.who.account + ")";
    } else if (fs.OthersMayWrite(f.path)) {
      r.refused = "andere Konten dürfen ihn ändern";
    } else if (fs.FolderExists(folder) &&
               ((!owner.empty() && fs.FileOwner(folder) != owner) || fs.OthersMayWrite(folder))) {
      r.refused = "den Ordner seiner Dateien dürfen andere Konten ändern";
    } else {
      for (const Change& c : r.changes) {
        if (c.kind == Change::Kind::kSetting) continue;
        if (!PlainName(fs, c.name) || (!c.kept.empty() && !PlainName(fs, c.kept)) ||
            ((c.kind == Change::Kind::kReplaced || c.kind == Change::Kind::kRemoved) &&
             c.kept.empty())) {
          r.refused = "der Name \"" + Escape(c.name) + "\" ist kein Name im Ordner";
          break;
        }
      }
    }
    r.id = id;
    records.push_back(std::move(r));
  }
  std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
    return a.started != b.started ? a.started < b.started : a.id < b.id;
  });
  return records;
}

bool Interrupted(const Record& record) { return record.ended.empty(); }

bool TakenBack(const std::vector<Record>& all, size_t index) {
  std::vector<bool> taken(all.size(), false);
  for (size_t i = all.size(); i-- > index;) {
    for (size_t j = i + 1; j < all.size(); ++j) {
      if (all[j].undo_of == all[i].id && all[j].refused.empty() && !Interrupted(all[j]) &&
          !all[j].changes.empty() && !taken[j]) {
        taken[i] = true;
        break;
      }
    }
  }
  return taken[index];
}

JournalRun Describe(FileSystem& fs, const Folders& db, const Record& r,
                    const std::vector<Record>& all) {
  JournalRun run;
  run.id = r.id;
  run.started = r.started_text;
  run.user = r.who.user;
  run.account = r.who.account;
  run.host = r.who.host;
  run.process = r.who.process;
  run.command = r.command;
  run.undo_of = r.undo_of;
  run.ended = r.ended.empty() ? "interrupted" : r.ended;
  run.rewritten = r.counts.rewritten;
  run.unchanged = r.counts.unchanged;
  run.failed = r.counts.failed;
  run.changes = static_cast<int>(r.changes.size());
  run.refused = r.refused;
  const std::string folder = JournalFolder(db) + "\\" + r.id;
  for (const Change& c : r.changes) {
    if (!c.kept.empty() && r.refused.empty()) run.kept_bytes += SizeOf(fs, folder + "\\" + c.kept);
  }
  for (size_t i = 0; i < all.size(); ++i) {
    if (&all[i] == &r) run.taken_back = TakenBack(all, i);
  }
  return run;
}

Run::Run(FileSystem& fs, host::Reporter* reporter, Folders db)
    : fs_(fs), reporter_(reporter), db_(std::move(db)) {}

Run::~Run() {
  if (file_ == nullptr) return;
  try {
    file_->Close();
  } catch (...) {
    // the record stays without its end: an interrupted run
  }
}

std::unique_ptr<Run> Run::Begin(FileSystem& fs, host::Reporter* reporter, const Folders& db,
                                const std::string& command, int keep_runs) {
  if (keep_runs <= 0) return nullptr;
  std::unique_ptr<Run> run(new Run(fs, reporter, db));
  const std::string journal = JournalFolder(db);
  try {
    if (!fs.FolderExists(journal)) {
      fs.CreateFolder(journal);
      fs.SetAccess(journal, FileSystem::Access::kLikeFolder);
      host::IgnoreErrors([&] { fs.SetAttributes(journal, kAttrHidden); });
    }
    // The oldest runs go, whole, so that with this one keep_runs stay; and what an interrupted
    // pruning left.
    std::vector<Record> records = ReadRecords(fs, db);
    for (size_t i = 0; i + static_cast<size_t>(keep_runs) <= records.size(); ++i) {
      Prune(fs, journal, records[i].id, true);
    }
    for (const platform::FileEntry& f : fs.ListFiles(journal)) {
      const std::string suffix = ".prune";
      if (f.name.size() > suffix.size() &&
          f.name.compare(f.name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        Prune(fs, journal, f.name.substr(0, f.name.size() - suffix.size()), false);
      }
    }

    Record& r = run->record_;
    r.version = kFormatVersion;
    r.who = platform::WhoRuns();
    r.command = command;
    int millis = 0;
    std::tie(r.started, r.started_text) = Now(&millis);
    char stamp[128];
    std::snprintf(stamp, sizeof stamp, "%s.%03d", r.started_text.c_str(), millis);
    std::string id;
    for (char c : std::string(stamp)) {
      if (c != '-' && c != ':') id += c == ' ' ? '-' : c;
    }
    id += "-" + r.who.process;
    for (int n = 2;
         fs.FileExists(journal + "\\" + id + kRecordSuffix) || fs.FolderExists(journal + "\\" + id);
         ++n) {
      id = id.substr(0, id.find('~')) + "~" + std::to_string(n);
    }
    r.id = id;
    const std::string path = journal + "\\" + id + kRecordSuffix;
    run->file_ = fs.Open(path, platform::OpenMode::kCreateNew);
    fs.SetAccess(path, FileSystem::Access::kOwnerWrites);
    const std::string header = FormatHeader(r);
    run->file_->Write(header.data(), header.size());
  } catch (const HostFailure&) {
    throw;
  } catch (const platform::Error& e) {
    host::ShowHostMessage(reporter,
                          "Das Journal in " + host::Shown(reporter, journal) +
                              " kann nicht geschrieben werden (" + Reason(e, reporter) +
                              "): dieser Lauf wird ausgeführt, kann aber nicht zurückgenommen "
                              "werden.",
                          3, false);
    return nullptr;
  }
  return run;
}

bool Run::PlaceOf(const std::string& path, Place* place, std::string* name) const {
  auto [folder, base] = Split(path);
  const std::string key = Key(folder);
  if (key == Key(db_.forms)) {
    *place = Place::kForms;
  } else if (key == Key(db_.delivery)) {
    *place = Place::kDelivery;
  } else {
    return false;
  }
  *name = base;
  return !base.empty();
}

std::string Run::KeptPath(const std::string& kept) const {
  return JournalFolder(db_) + "\\" + record_.id + "\\" + kept;
}

bool Run::EnsureFolder() {
  if (folder_made_) return true;
  const std::string folder = JournalFolder(db_) + "\\" + record_.id;
  try {
    if (!fs_.FolderExists(folder)) fs_.CreateFolder(folder);
    fs_.SetAccess(folder, FileSystem::Access::kOwnerWrites);
    folder_made_ = true;
  } catch (const platform::Error&) {
    return false;
  }
  return true;
}

std::string Run::NextName(const std::string& name) { return std::to_string(++next_) + "." + name; }

std::string Run::MoveIn(const std::string& path, const std::string& name) {
  if (broken_ || !EnsureFolder()) return "";
  const std::string kept = NextName(name);
  try {
    fs_.MoveFile(path, KeptPath(kept));
  } catch (const platform::Error&) {
    return "";
  }
  return kept;
}

std::string Run::LinkIn(const std::string& path) {
  if (broken_ || !EnsureFolder()) return "";
  const std::string kept = NextName(Split(path).second);
  try {
    if (!fs_.LinkFile(path, KeptPath(kept))) fs_.CopyFile(path, KeptPath(kept), false);
  } catch (const platform::Error&) {
    return "";
  }
  return kept;
}

void Run::Append(const Change& change) {
  if (broken_ || file_ == nullptr) return;
  record_.changes.push_back(change);
  const std::string line = FormatChange(change);
  try {
    file_->Write(line.data(), line.size());
  } catch (const platform::Error& e) {
    broken_ = true;
    host::ShowHostMessage(reporter_,
                          "Das Journal dieses Laufs kann nicht weitergeschrieben werden (" +
                              Reason(e, reporter_) +
                              "): was ab jetzt ersetzt wird, wird nicht aufbewahrt.",
                          3, false);
  }
}

bool Run::KeepReplaced(const std::string& form_path, const std::string& old_path,
                       uint32_t attributes) {
  Change c;
  if (broken_ || !PlaceOf(form_path, &c.place, &c.name)) return false;
  c.kind = Change::Kind::kReplaced;
  c.attributes = attributes;
  c.identity = fs_.FileIdentity(form_path);
  if (c.identity.empty()) FollowLink(form_path, &c);
  c.kept = MoveIn(old_path, c.name);
  if (c.kept.empty()) return false;
  Append(c);
  return true;
}

std::string Run::KeepCopy(const std::string& path, uint32_t* attributes) {
  Place place;
  std::string name;
  if (broken_ || !PlaceOf(path, &place, &name) || !EnsureFolder()) return "";
  const std::string kept = NextName(name);
  try {
    *attributes = fs_.GetAttributes(path);
    fs_.CopyFile(path, KeptPath(kept), false);
  } catch (const platform::Error&) {
    return "";
  }
  return kept;
}

// A form that is a link inside its folder was rewritten at the file it leads to: the change is
// that file's.
void Run::FollowLink(const std::string& path, Change* c) {
  if (fs_.KindOf(path) != platform::EntryKind::kLink) return;
  const auto [folder, name] = Split(path);
  const std::string real = fs_.RealPath(path);
  const std::string real_folder = fs_.RealPath(folder);
  const size_t slash = real.find_last_of('/');
  if (slash == std::string::npos || real_folder.empty() || real.substr(0, slash) != real_folder) {
    return;
  }
  c->name = real.substr(slash + 1);
  c->identity = fs_.FileIdentity(folder + "\\" + c->name);
}

void Run::Replaced(const std::string& path, const std::string& kept, uint32_t attributes) {
  Change c;
  if (kept.empty() || !PlaceOf(path, &c.place, &c.name)) return;
  c.kind = Change::Kind::kReplaced;
  c.kept = kept;
  c.attributes = attributes;
  c.identity = fs_.FileIdentity(path);
  if (c.identity.empty()) FollowLink(path, &c);
  Append(c);
}

void Run::Forget(const std::string& kept) {
  host::IgnoreErrors([&] { fs_.DeleteFile(KeptPath(kept), true); });
}

bool Run::KeepRemoved(const std::string& path) {
  Change c;
  if (broken_ || !PlaceOf(path, &c.place, &c.name)) return false;
  c.kind = Change::Kind::kRemoved;
  try {
    c.attributes = fs_.GetAttributes(path);
  } catch (const platform::Error&) {
    return false;
  }
  c.kept = MoveIn(path, c.name);
  if (c.kept.empty()) return false;
  Append(c);
  return true;
}

void Run::AttributesChanged(const std::string& path, uint32_t before, uint32_t after) {
  Change c;
  if (before == after || !PlaceOf(path, &c.place, &c.name)) return;
  c.kind = Change::Kind::kAttributes;
  c.attributes = before;
  c.attributes_after = after;
  Append(c);
}

void Run::Created(const std::string& path) {
  Change c;
  if (!PlaceOf(path, &c.place, &c.name)) return;
  c.kind = Change::Kind::kCreated;
  c.identity = fs_.FileIdentity(path);
  Append(c);
}

void Run::SettingChanged(const std::string& store, const std::string& section,
                         const std::string& key, const std::string& before,
                         const std::string& after) {
  if (before == after) return;
  Change c;
  c.kind = Change::Kind::kSetting;
  c.store = StoreName(fs_, store), c.section = section, c.key = key, c.before = before,
  c.after = after;
  Append(c);
}

void Run::SetUndoOf(const std::string& id) {
  record_.undo_of = id;
  if (broken_ || file_ == nullptr) return;
  const std::string line = Line({"undo-of", id});
  try {
    file_->Write(line.data(), line.size());
  } catch (const platform::Error&) {
    broken_ = true;
  }
}

std::vector<std::string> Run::changed_folders() const {
  std::vector<std::string> folders{JournalFolder(db_)};
  if (folder_made_) folders.push_back(JournalFolder(db_) + "\\" + record_.id);
  return folders;
}

void Run::End(const CallSummary& summary, bool ok) {
  if (file_ == nullptr) return;
  record_.counts = summary;
  record_.ended = summary.cancelled ? "cancelled" : ok ? "ok" : "failed";
  const std::string line = FormatEnd(record_);
  try {
    if (!broken_) file_->Write(line.data(), line.size());
    std::unique_ptr<platform::File> file = std::move(file_);
    file->Close();  // on the disk while durable writes are on
    for (const std::string& folder : changed_folders()) fs_.SyncFolder(folder);
  } catch (const platform::Error& e) {
    host::ShowHostMessage(reporter_,
                          "Das Journal dieses Laufs konnte nicht abgeschlossen werden (" +
                              Reason(e, reporter_) + ").",
                          3, false);
  }
}

bool UndoNewest(FileSystem& fs, host::Reporter* reporter, ProgressObserver* progress,
                const Folders& db, Run& undo, VMSettings* settings, const std::string& store) {
  std::vector<Record> records = ReadRecords(fs, db);
  // The newest run that changed something and was not taken back (this one aside; an undo that
  // was interrupted is continued with the run it took back).
  size_t target = records.size();
  for (size_t i = records.size(); i-- > 0;) {
    if (records[i].id == undo.id() || (Interrupted(records[i]) && !records[i].undo_of.empty())) {
      continue;
    }
    if (!records[i].refused.empty() || (!records[i].changes.empty() && !TakenBack(records, i))) {
      target = i;
      break;
    }
  }
  if (target == records.size()) {
    host::ShowHostMessage(reporter,
                          "Nichts zurückzunehmen: das Journal in " +
                              host::Shown(reporter, JournalFolder(db)) +
                              " hält keinen Lauf, der etwas geändert hat und nicht "
                              "zurückgenommen ist.",
                          3, false);
    return true;
  }
  const Record& run = records[target];
  const std::string described =
      run.id + " (" + run.command + ", " + run.started_text + " UTC, " + run.who.user + ")";
  if (!run.refused.empty()) {
    host::ShowHostMessage(reporter,
                          "Der Lauf " + described + " wird nicht zurückgenommen: sein Eintrag " +
                              "wird nicht beachtet (" + run.refused + ").",
                          3, true);
    return false;
  }
  undo.SetUndoOf(run.id);
  const std::string kept_folder = JournalFolder(db) + "\\" + run.id + "\\";
  auto key_of = [&](const Change& c) {
    return c.kind == Change::Kind::kSetting
               ? "s:" + c.section + "/" + c.key
               : "f:" + Key(FolderOfPlace(db, c.place) + "\\" + c.name);
  };
  // An undo of this run that was interrupted (a kill, a crash) is continued: what it took back
  // becomes this undo's (its kept files move over), its record goes, and per file as many of the
  // run's changes as it took back count as done.
  // A file it kept without saying so (killed in between) is held too, by the name it is of: the
  // change it belongs to is found below.
  std::map<std::string, int> done_before;
  std::map<std::string, std::string> unsaid;  // the file's name -> its name in this run
  bool continuing = false;
  for (size_t j = target + 1; j < records.size(); ++j) {
    const Record& u = records[j];
    if (u.id == undo.id() || u.undo_of != run.id || !Interrupted(u)) continue;
    continuing = true;
    const std::string from = JournalFolder(db) + "\\" + u.id + "\\";
    std::map<std::string, bool> said;
    for (const Change& c : u.changes) {
      ++done_before[key_of(c)];
      Change taken = c;
      if (!c.kept.empty()) {
        said[c.kept] = true;
        taken.kept = fs.FileExists(from + c.kept) ? undo.MoveIn(from + c.kept, c.name) : "";
        if (taken.kept.empty()) continue;
      }
      undo.Append(taken);
    }
    if (fs.FolderExists(from)) {
      for (const platform::FileEntry& f : fs.ListFiles(from)) {
        const size_t dot = f.name.find('.');
        if (said.count(f.name) > 0 || dot == std::string::npos) continue;
        const std::string name = f.name.substr(dot + 1);
        const std::string kept = undo.MoveIn(f.path, name);
        if (!kept.empty()) unsaid[Key(name)] = kept;
      }
    }
    Prune(fs, JournalFolder(db), u.id, true);
  }
  enum class State { kUntouched, kDone, kLeft };
  std::map<std::string, State> state;
  int restored = 0, left = 0;
  for (size_t n = run.changes.size(); n-- > 0;) {
    const Change& c = run.changes[n];
    const bool setting = c.kind == Change::Kind::kSetting;
    const std::string folder = FolderOfPlace(db, c.place);
    const std::string path = setting ? c.section + "/" + c.key : folder + "\\" + c.name;
    const std::string key = key_of(c);
    State& s = state[key];
    if (s == State::kLeft) continue;
    int& skip = done_before[key];
    if (skip > 0) {
      --skip;
      s = State::kDone;
      continue;
    }
    // The interrupted undo was killed after it took this change back, before it said so: its
    // record is written now.
    if (continuing && !setting && s == State::kUntouched) {
      auto adopt = [&](Change::Kind kind) {
        auto it = unsaid.find(Key(c.name));
        Change taken = c;
        taken.kind = kind;
        taken.kept = it != unsaid.end() ? it->second : "";
        if (kind != Change::Kind::kCreated && taken.kept.empty()) return;
        if (it != unsaid.end()) unsaid.erase(it);
        host::IgnoreErrors([&] {
          taken.identity = fs.FileIdentity(path);
          if (!taken.kept.empty()) taken.attributes = fs.GetAttributes(undo.KeptPath(taken.kept));
        });
        undo.Append(taken);
      };
      const bool there = fs.KindOf(path) != platform::EntryKind::kNone;
      const bool kept_gone = !c.kept.empty() && !fs.FileExists(kept_folder + c.kept);
      if (c.kind == Change::Kind::kReplaced && kept_gone) {
        adopt(Change::Kind::kReplaced);
      } else if (c.kind == Change::Kind::kRemoved && kept_gone && there) {
        adopt(Change::Kind::kCreated);
      } else if (c.kind == Change::Kind::kCreated && !there) {
        adopt(Change::Kind::kRemoved);
      }
      if (kept_gone || (c.kind == Change::Kind::kCreated && !there)) {
        // and what it may not have come to: the read-only attribute of before
        if (kept_gone && there && (c.attributes & kAttrReadOnly) != 0) {
          host::IgnoreErrors(
              [&] { fs.SetAttributes(path, fs.GetAttributes(path) | kAttrReadOnly); });
        }
        s = State::kDone;
        continue;
      }
    }
    // The newest change of a file is checked against what the run left; older ones follow it.
    const bool check = s == State::kUntouched;
    std::string why;
    auto as_left = [&](const std::string& file) {
      return check && !platform::IdentityMatches(fs.FileIdentity(file), c.identity);
    };
    try {
      switch (c.kind) {
        case Change::Kind::kReplaced: {
          const std::string kept = kept_folder + c.kept;
          if (!fs.FileExists(kept)) {
            why = "seine alte Fassung fehlt im Journal";
          } else if (as_left(path)) {
            why = "es wurde nach dem Lauf geändert";
          } else if (!fs.MayWrite(path, run.who.account)) {
            why = "das Konto des Laufs darf es nicht schreiben";
          } else {
            const uint32_t now = fs.GetAttributes(path);
            const std::string result = undo.LinkIn(path);
            if (result.empty()) {
              why = "seine jetzige Fassung kann nicht aufbewahrt werden";
              break;
            }
            try {
              if (!fs.ReplaceFile(kept, path)) {
                fs.DeleteFile(path, true);
                fs.MoveFile(kept, path);
              }
            } catch (...) {
              undo.Forget(result);  // the form stays as it is: nothing of it to keep
              throw;
            }
            if ((c.attributes & kAttrReadOnly) != 0) {
              fs.SetAttributes(path, fs.GetAttributes(path) | kAttrReadOnly);
            }
            Change back = c;
            back.kept = result;
            back.identity = fs.FileIdentity(path);
            back.attributes = now;
            undo.Append(back);
          }
          break;
        }
        case Change::Kind::kCreated: {
          if (fs.KindOf(path) == platform::EntryKind::kNone) break;  // gone already
          if (as_left(path)) {
            why = "es wurde nach dem Lauf geändert";
          } else if (!fs.MayWrite(folder, run.who.account)) {
            why = "das Konto des Laufs darf in " + folder + " nichts entfernen";
          } else if (!undo.KeepRemoved(path)) {
            why = "es kann nicht ins Journal verschoben werden";
          }
          break;
        }
        case Change::Kind::kRemoved: {
          const std::string kept = kept_folder + c.kept;
          if (!fs.FileExists(kept)) {
            why = "es fehlt im Journal";
          } else if (fs.KindOf(path) != platform::EntryKind::kNone) {
            why = "eine andere Datei hat jetzt diesen Namen";
          } else if (!fs.MayWrite(folder, run.who.account)) {
            why = "das Konto des Laufs darf in " + folder + " nichts anlegen";
          } else {
            fs.MoveFile(kept, path);
            if ((c.attributes & kAttrReadOnly) != 0) {
              fs.SetAttributes(path, fs.GetAttributes(path) | kAttrReadOnly);
            }
            undo.Created(path);
          }
          break;
        }
        case Change::Kind::kAttributes: {
          const uint32_t now = fs.GetAttributes(path);
          if (check && (now & kAttrReadOnly) != (c.attributes_after & kAttrReadOnly) &&
              (now & kAttrReadOnly) != (c.attributes & kAttrReadOnly)) {
            why = "seine Attribute wurden nach dem Lauf geändert";
          } else if (!fs.MayWrite(path, run.who.account)) {
            why = "das Konto des Laufs darf es nicht ändern";
          } else {
            fs.SetAttributes(path,
                             (now & ~uint32_t{kAttrReadOnly}) | (c.attributes & kAttrReadOnly));
            undo.AttributesChanged(path, now, fs.GetAttributes(path));
          }
          break;
        }
        case Change::Kind::kSetting: {
          std::string now;
          if (settings == nullptr) {
            why = "keine Einstellungen angegeben";
          } else if (c.store != StoreName(fs, store)) {
            why = "steht in einer anderen Einstellungsdatei (" + c.store + ")";
          } else {
            settings->GetSetting(c.section, c.key, now, "Standard", "Standard", "");
            if (check && now != c.after && now != c.before) {
              why = "steht jetzt auf \"" + now + "\"";
            } else {
              settings->SaveSetting(c.section, c.key, c.before, "Standard");
              undo.SettingChanged(store, c.section, c.key, now, c.before);
            }
          }
          break;
        }
      }
    } catch (const HostFailure&) {
      throw;
    } catch (const platform::Error& e) {
      why = Reason(e, reporter);
    }
    if (progress != nullptr && !setting) {
      // Each file counts once, as the form of a job does.
      progress->FormStarted(kUndoProgress, "", c.name, path);
      if (why.empty()) progress->FormWritten(path);
      progress->FormFinished(kUndoProgress, "", c.name, why.empty());
    }
    if (why.empty()) {
      s = State::kDone;
      ++restored;
    } else {
      s = State::kLeft;
      ++left;
      host::ShowHostMessage(reporter,
                            (setting ? "Die Einstellung " + path : host::Shown(reporter, path)) +
                                " bleibt, wie es ist: " + why + ".",
                            3, true);
    }
  }
  for (const auto& [name, kept] : unsaid) undo.Forget(kept);
  for (Place place : {Place::kForms, Place::kDelivery}) {
    host::IgnoreErrors([&] {
      if (fs.FolderExists(FolderOfPlace(db, place))) fs.SyncFolder(FolderOfPlace(db, place));
    });
  }
  host::ShowHostMessage(reporter,
                        "Der Lauf " + described + " ist zurückgenommen: " +
                            std::to_string(restored) + " Änderungen rückgängig gemacht" +
                            (left > 0 ? ", " + std::to_string(left) + " nicht" : "") + ".",
                        3, false);
  return true;
}

}  // namespace llupdate::journal
