#include "llupdate/database.h"

#include <algorithm>
#include <set>

#include "catalogue/catalogue.h"
#include "component/internals.h"
#include "component/job_frame.h"
#include "component/writer_scope.h"
#include "host/objects.h"
#include "platform/file_system.h"
#include "rewrites/leftovers.h"
#include "text/text.h"
#include "text/text_io.h"

namespace llupdate {
namespace {

// The messages and errors of these readers name paths as the file system shows them.
class ShownPaths : public host::Reporter {
 public:
  explicit ShownPaths(FileSystem& fs) : fs_(fs) {}
  void ErrorShown(int32_t) override {}
  std::string ShownPath(const std::string& path) override { return fs_.ShownPath(path); }

 private:
  FileSystem& fs_;
};

// The catalogue of a type in folder (the delivery's whole catalogue with an empty type), or
// nullptr when it cannot be built; report: whether the reason is shown.
std::shared_ptr<DynArray> Catalogue(FileSystem& fs, const std::string& type,
                                    const std::string& folder, bool report = true) {
  auto catalogue = host::NewDynArray();
  files::FileTable table;
  ShownPaths shown(fs);
  files::FileContext ctx{fs, table, nullptr, nullptr, &shown};
  const bool built = type.empty() ? catalogue::Aufbau_Array(ctx, *catalogue, folder)
                                  : catalogue::Aufbau_Array2(ctx, type, *catalogue, folder, report);
  return built ? catalogue : nullptr;
}

std::vector<std::string> TypesOf(const std::string& type) {
  if (!type.empty()) return {type};
  std::vector<std::string> types;
  for (const char* dotted : catalogue::kFormTypes) types.emplace_back(dotted + 1);
  return types;
}

LeftoverFile::Kind KindOf(const rewrites::Leftover& f) {
  using Action = rewrites::Leftover::Action;
  using Kind = LeftoverFile::Kind;
  switch (f.action) {
    case Action::kRestoreInPlace:
      return Kind::kRestoreInPlace;
    case Action::kForeign:
      return Kind::kForeign;
    case Action::kRestore:
      return Kind::kRestore;
    case Action::kKeep:
      return Kind::kOrphan;
    case Action::kRemove:
      break;
  }
  if (f.form.empty()) return Kind::kPartial;
  return f.file.starts_with(kBackupPrefix) ? Kind::kBackup : Kind::kTemporary;
}

LeftoverFile Shown(const rewrites::Leftover& f) { return {KindOf(f), f.file, f.form, f.why}; }

Error Described(FileSystem& fs, const Error& e) {
  ShownPaths shown(fs);
  return host::WithShownPath(&shown, e);
}

}  // namespace

std::string FormFolderOf(const std::string& db) { return catalogue::FormDirectory(db); }

std::string DeliveryFolderOf(const std::string& db) {
  return db + "\\" + catalogue::kDeliveryDirectory;
}

bool ListForms(FileSystem& fs, const std::string& db, const std::string& type,
               std::vector<FormListing>* forms) {
  forms->clear();
  for (const std::string& each : TypesOf(type)) {
    std::shared_ptr<DynArray> catalogue = Catalogue(fs, each, FormFolderOf(db));
    if (!catalogue) return false;
    for (int32_t r = 0; r < catalogue->Count(1); ++r) {
      auto value = [&](int c) { return catalogue->GetValue(r, c).ToString(); };
      if (text::TrimSpaces(value(0)).empty()) continue;
      forms->push_back({value(0), value(1), value(2), value(3), value(5)});
    }
  }
  std::stable_sort(forms->begin(), forms->end(),
                   [](const auto& a, const auto& b) { return text::NameLess(a.name, b.name); });
  return true;
}

int CountFormsOfType(FileSystem& fs, const std::string& db, const std::string& type) {
  std::shared_ptr<DynArray> catalogue = Catalogue(fs, type, FormFolderOf(db), false);
  return catalogue ? component::CountForms(*catalogue) : 0;
}

std::vector<std::pair<std::string, bool>> PageCountOfForms(FileSystem& fs, const std::string& db,
                                                           const std::string& type) {
  std::vector<std::pair<std::string, bool>> forms;
  const std::string ending = "." + text::FoldCase(type);
  std::vector<FileEntry> files;
  try {
    files = fs.ListFiles(FormFolderOf(db));
  } catch (const Error&) {
    return forms;  // the operation itself reports a missing directory
  }
  for (const FileEntry& f : files) {
    std::string name = text::FoldCase(f.name);
    if (name.size() < ending.size() ||
        name.compare(name.size() - ending.size(), ending.size(), ending) != 0) {
      continue;
    }
    try {
      text::TextReader reader(fs.Open(f.path, OpenMode::kRead));
      forms.emplace_back(
          f.path, reader.ReadAll().find(component::kPageNumberWithCount) != std::string::npos);
    } catch (const Error&) {
      // an unreadable form is the operation's to report
    }
  }
  return forms;
}

FormFolderState InspectFormFolder(FileSystem& fs, const std::string& db) {
  const std::string dir = FormFolderOf(db);
  FormFolderState state;
  const platform::LockPeek lock = platform::PeekFormFolderLock(fs, dir);
  state.held = lock.held;
  if (lock.held) state.holder = LockHolderWords(lock.text);
  state.last_run_unfinished = lock.unfinished;
  state.refused_records = lock.refused;
  try {
    for (const rewrites::Leftover& f :
         rewrites::FindLeftovers(fs, dir, fs.ListFiles(dir), lock.own, lock.in_place)) {
      // While a run holds the database, its temporary files and backups are its work.
      auto& list = lock.held                                          ? state.in_work
                   : f.action == rewrites::Leftover::Action::kForeign ? state.foreign
                                                                      : state.leftovers;
      list.push_back(Shown(f));
    }
  } catch (const Error& e) {
    throw Described(fs, e);
  }
  std::set<std::string> not_forms;
  for (const auto* list : {&state.leftovers, &state.foreign, &state.in_work}) {
    for (const LeftoverFile& f : *list) not_forms.insert(text::FoldCase(f.file));
  }
  for (const std::string& each : TypesOf("")) {
    const std::string type = text::FoldCase(each);
    std::shared_ptr<DynArray> catalogue = Catalogue(fs, type, dir);
    if (!catalogue) continue;
    for (int32_t r = 0; r < catalogue->Count(1); ++r) {
      const std::string name = catalogue->GetValue(r, 0).ToString();
      if (text::TrimSpaces(name).empty() || not_forms.count(text::FoldCase(name)) > 0) continue;
      ++state.forms[type];
      const std::string version = catalogue->GetValue(r, 5).ToString();
      ++state.fileversions[type][version.empty() ? "-" : version];
    }
  }
  // A delivery that waits for distribution: its marker and the forms it brought.
  const std::string delivery = DeliveryFolderOf(db);
  if (fs.FileExists(delivery + "\\NeueBerichte.txt")) {
    std::shared_ptr<DynArray> catalogue = Catalogue(fs, "", delivery);
    state.delivered = catalogue ? component::CountForms(*catalogue) : 0;
  }
  return state;
}

Recovery RecoverFormFolder(FileSystem& fs, const std::string& db, bool apply) {
  const std::string dir = FormFolderOf(db);
  Recovery recovery;
  // Repairs are writes: they wait for, or leave to, a run that holds the folder. What may be
  // repaired is what the unfinished run recorded as its own, and nothing else.
  std::unique_ptr<platform::WriterLock> lock;
  std::vector<platform::OwnFile> own;
  std::vector<platform::LockPeek::InterruptedRewrite> in_place;
  try {
    if (apply) {
      // Taking the lock gives forms of interrupted in-place rewrites their content back.
      lock = platform::LockFormFolder(fs, dir, component::LockWaitSeconds());
      if (lock) {
        if (lock->previous_run_unfinished()) own = lock->previous_own_files();
        for (const std::string& form : lock->restored_in_place())
          in_place.push_back({form, "", ""});
        for (const auto& [form, copy] : lock->kept_in_place())
          in_place.push_back({form, copy, "kept"});
        recovery.refused_records = lock->refused_records();
      }
    } else {
      platform::LockPeek peek = platform::PeekFormFolderLock(fs, dir);
      if (peek.held) {
        // Its temporary files and backups are its work in progress, not leftovers.
        recovery.held = true;
        recovery.holder = LockHolderWords(peek.text);
        return recovery;
      }
      own = std::move(peek.own);
      in_place = std::move(peek.in_place);
      recovery.refused_records = std::move(peek.refused);
    }
  } catch (const Error& e) {
    throw Described(fs, e);
  }
  std::vector<FileEntry> files;
  try {
    files = fs.ListFiles(dir);
  } catch (const Error& e) {
    recovery.unreadable = std::to_string(e.number()) + " " + Described(fs, e).description();
    return recovery;
  }
  std::vector<rewrites::Leftover> leftovers =
      rewrites::FindLeftovers(fs, dir, files, own, apply ? decltype(in_place){} : in_place);
  if (apply) {
    // What the lock did already comes first, told like the rest.
    std::vector<rewrites::Leftover> done;
    for (const platform::LockPeek::InterruptedRewrite& r : in_place) {
      done.push_back({rewrites::Leftover::Action::kRestoreInPlace, r.backup, r.form, r.why});
    }
    leftovers.insert(leftovers.begin(), done.begin(), done.end());
  }
  bool failed = false;
  for (const rewrites::Leftover& f : leftovers) {
    Recovery::Step step{Shown(f), ""};
    if (apply) {
      try {
        rewrites::ResolveLeftover(fs, dir, f);
        const LeftoverFile::Kind kind = step.leftover.kind;
        step.outcome = kind == LeftoverFile::Kind::kOrphan ||
                               kind == LeftoverFile::Kind::kForeign ||
                               (kind == LeftoverFile::Kind::kRestoreInPlace && !f.why.empty())
                           ? "kept"
                           : "done";
      } catch (const Error& e) {
        step.outcome =
            "failed: " + std::to_string(e.number()) + " " + Described(fs, e).description();
        failed = true;
      }
    }
    recovery.steps.push_back(std::move(step));
  }
  if (lock && !failed) lock->MarkFinished();
  return recovery;
}

std::string LockHolderWords(const std::string& lock_record) {
  return "host " + platform::LockRecordValue(lock_record, "host") + ", process " +
         platform::LockRecordValue(lock_record, "pid") + ", since " +
         platform::LockRecordValue(lock_record, "since");
}

std::string FormFolderHolder(FileSystem& fs, const std::string& db) {
  const platform::LockPeek peek = platform::PeekFormFolderLock(fs, FormFolderOf(db));
  return peek.held ? LockHolderWords(peek.text) : std::string();
}

bool SameName(const std::string& a, const std::string& b) { return text::EqualsIgnoringCase(a, b); }

}  // namespace llupdate
