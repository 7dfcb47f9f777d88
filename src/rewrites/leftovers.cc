#include "rewrites/leftovers.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "host/error_convention.h"
#include "llupdate/progress.h"
#include "platform/error.h"
#include "rewrites/form_names.h"
#include "text/text.h"

namespace llupdate::rewrites {

namespace {

bool HasPrefix(const std::string& name, std::string_view prefix) {
  return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::vector<Leftover> FindLeftovers(
    platform::FileSystem& fs, const std::string& folder,
    const std::vector<platform::FileEntry>& files, const std::vector<platform::OwnFile>& own,
    const std::vector<platform::LockPeek::InterruptedRewrite>& in_place) {
  std::set<std::string> present;  // folded names
  for (const auto& f : files) present.insert(text::FoldCase(f.name));
  auto exists = [&](const std::string& name) { return present.count(text::FoldCase(name)); };
  // A name is the program's when a record names it and the file there is still the one it made
  // (the identity asked once per name, and only for names a record holds), owned by the account
  // whose record it is: a record speaks for its own account's files alone, whatever the
  // identities say (an identity of a file that vanished may be taken by another file).
  // Files recorded without a name (made before their names were known) are the run's under any
  // name: for them every candidate's identity is asked.
  std::map<std::string, std::vector<const platform::OwnFile*>> recorded;
  std::vector<const platform::OwnFile*> unnamed;
  for (const platform::OwnFile& o : own) {
    (o.name.empty() ? unnamed : recorded[o.name]).push_back(&o);
  }
  // The file named file matches what was recorded under record_name (or without a name).
  auto matches = [&](const std::string& file, const std::string& record_name) {
    const std::string path = folder + "\\" + file;
    const std::string now = fs.FileIdentity(path);
    std::optional<std::string> owner;
    auto fits = [&](const platform::OwnFile* o) {
      if (!platform::IdentityMatches(now, o->identity)) return false;
      if (o->owner.empty()) return true;
      if (!owner) owner = fs.FileOwner(path);
      return *owner == o->owner;
    };
    auto it = recorded.find(record_name);
    if (it != recorded.end() && std::any_of(it->second.begin(), it->second.end(), fits)) {
      return true;
    }
    return std::any_of(unnamed.begin(), unnamed.end(), fits);
  };
  auto ours = [&](const std::string& name) {
    if (unnamed.empty() && recorded.count(name) == 0) return false;
    return matches(name, name);
  };
  // A backup made as a second name of its form is not recorded itself: the record names the
  // form's temporary file, and the backup is the run's when the form is that temporary file now
  // (the swap happened) or when backup and form are one file (it did not yet: removing the second
  // name loses nothing). A file of the backup's name that was there before would have been
  // replaced when the run made its own.
  auto second_name_of_form = [&](const std::string& backup, const std::string& form) {
    const std::string temporary = TemporaryName(form);
    if (unnamed.empty() && recorded.count(temporary) == 0) return false;
    if (matches(form, temporary)) return true;
    const std::string form_now = fs.FileIdentity(folder + "\\" + form);
    // Not swapped yet: the run's temporary file is recorded by name (by the account that owns
    // the form), or is there and the run's.
    if (form_now.empty() || fs.FileIdentity(folder + "\\" + backup) != form_now) return false;
    auto it = recorded.find(temporary);
    if (it != recorded.end()) {
      const std::string owner = fs.FileOwner(folder + "\\" + backup);
      for (const platform::OwnFile* o : it->second) {
        if (o->owner.empty() || o->owner == owner) return true;
      }
    }
    return ours(temporary);
  };

  std::vector<Leftover> restores, others;
  for (const auto& f : files) {
    const bool partial = platform::IsPartialFileName(f.name);
    const bool backup = HasPrefix(f.name, kBackupPrefix);
    const bool temporary = HasPrefix(f.name, kTemporaryPrefix);
    if (!partial && !backup && !temporary) continue;
    std::string form =
        partial ? "" : f.name.substr(backup ? kBackupPrefix.size() : kTemporaryPrefix.size());
    if (!ours(f.name) && !(backup && exists(form) && second_name_of_form(f.name, form))) {
      others.push_back({Leftover::Action::kForeign, f.name, form, ""});
    } else if (partial) {
      auto rewrite = std::find_if(in_place.begin(), in_place.end(),
                                  [&](const auto& r) { return r.backup == f.name; });
      if (rewrite != in_place.end()) {
        restores.push_back(
            {Leftover::Action::kRestoreInPlace, f.name, rewrite->form, rewrite->why});
      } else {
        others.push_back({Leftover::Action::kRemove, f.name, "", ""});
      }
    } else if (backup) {
      if (exists(form)) {
        others.push_back({Leftover::Action::kRemove, f.name, form, ""});
      } else {
        restores.push_back({Leftover::Action::kRestore, f.name, form, ""});
      }
    } else {
      // A temporary file may be incomplete: it never becomes a form by itself.
      bool orphan = !exists(form) && !exists(BackupName(form));
      others.push_back(
          {orphan ? Leftover::Action::kKeep : Leftover::Action::kRemove, f.name, form, ""});
    }
  }
  restores.insert(restores.end(), others.begin(), others.end());
  return restores;
}

void ResolveLeftover(platform::FileSystem& fs, const std::string& folder,
                     const Leftover& leftover) {
  const std::string file = folder + "\\" + leftover.file;
  switch (leftover.action) {
    case Leftover::Action::kRestore:
      fs.MoveFile(file, folder + "\\" + leftover.form);
      break;
    case Leftover::Action::kRemove:
      fs.DeleteFile(file, true);
      break;
    case Leftover::Action::kKeep:
    case Leftover::Action::kForeign:
    case Leftover::Action::kRestoreInPlace:  // the lock does it, before any heal
      break;
  }
}

void HealLeftovers(files::FileContext& ctx, const std::string& folder,
                   const std::vector<platform::OwnFile>& own) {
  if (own.empty()) return;
  platform::FileSystem& fs = ctx.fs;  // the unfinished run made nothing here
  std::vector<platform::FileEntry> files;
  host::IgnoreErrors([&] { files = fs.ListFiles(folder); });
  std::vector<Leftover> leftovers = FindLeftovers(fs, folder, files, own);
  std::erase_if(leftovers,
                [](const Leftover& l) { return l.action == Leftover::Action::kForeign; });
  if (leftovers.empty()) return;
  std::string restored, removed, kept, failed;
  auto add = [](std::string& list, const std::string& item) {
    list += (list.empty() ? "" : ", ") + item;
  };
  ctx.FolderChanged(folder);  // what is resolved goes to the disk with the call
  ProgressObserver* progress = ctx.progress;
  for (const Leftover& leftover : leftovers) {
    const char* action = "kept";
    try {
      ResolveLeftover(fs, folder, leftover);
      switch (leftover.action) {
        case Leftover::Action::kRestore:
          add(restored, leftover.form + " aus " + leftover.file);
          action = "restored";
          break;
        case Leftover::Action::kRemove:
          add(removed, leftover.file);
          action = "removed";
          break;
        case Leftover::Action::kKeep:
        case Leftover::Action::kForeign:
        case Leftover::Action::kRestoreInPlace:
          add(kept, leftover.file);
          break;
      }
    } catch (const HostFailure&) {
      throw;
    } catch (const platform::Error& e) {
      add(failed, leftover.file + " (" + std::to_string(e.number()) + " " + e.description() + ")");
      action = "failed";
    }
    if (progress != nullptr) {
      progress->Healed(action, folder + "\\" + leftover.file,
                       leftover.form.empty() ? "" : folder + "\\" + leftover.form);
    }
  }
  std::string text = "Ein früherer Lauf wurde nicht beendet; seine Reste in " +
                     host::Shown(ctx.reporter, folder) + " sind aufgeräumt.";
  if (!restored.empty()) text += " Wiederhergestellt: " + restored + ".";
  if (!removed.empty()) text += " Entfernt: " + removed + ".";
  if (!kept.empty()) text += " Behalten (Formular und Sicherung fehlen): " + kept + ".";
  if (!failed.empty()) text += " Nicht aufgeräumt: " + failed + ".";
  host::ShowHostMessage(ctx.reporter, text, 3, !failed.empty());
}

void ReportRestoredInPlace(files::FileContext& ctx, const std::string& folder,
                           const std::vector<std::string>& forms,
                           const std::vector<std::pair<std::string, std::string>>& kept) {
  ProgressObserver* progress = ctx.progress;
  if (!forms.empty()) {
    std::string list;
    for (const std::string& form : forms) {
      list += (list.empty() ? "" : ", ") + form;
      if (progress != nullptr) {
        progress->Healed("restored", folder + "\\" + form, folder + "\\" + form);
      }
    }
    host::ShowHostMessage(
        ctx.reporter,
        "Ein früherer Lauf wurde beim Umschreiben an Ort und Stelle unterbrochen; "
        "diese Formulare in " +
            host::Shown(ctx.reporter, folder) + " haben ihren alten Inhalt zurück: " + list + ".",
        3, false);
  }
  for (const auto& [form, copy] : kept) {
    if (progress != nullptr) progress->Healed("kept", folder + "\\" + copy, folder + "\\" + form);
    host::ShowHostMessage(ctx.reporter,
                          "Ein früherer Lauf wurde beim Umschreiben von " +
                              host::Shown(ctx.reporter, folder + "\\" + form) +
                              " an Ort und Stelle unterbrochen, und das Formular ist nicht mehr, "
                              "wie er es verlassen hat: es bleibt, wie es ist; sein alter Inhalt "
                              "steht in " +
                              host::Shown(ctx.reporter, folder + "\\" + copy) +
                              ". Prüfen Sie beide Fassungen.",
                          3, true);
  }
}

void ReportRefusedRecords(files::FileContext& ctx, const std::string& folder,
                          const std::vector<std::string>& refused) {
  if (refused.empty()) return;
  std::string list;
  for (const std::string& record : refused) list += (list.empty() ? "" : "; ") + record;
  host::ShowHostMessage(ctx.reporter,
                        "Vermerke früherer Läufe in " + host::Shown(ctx.reporter, folder) +
                            " werden nicht beachtet, nichts wird nach ihnen getan: " + list +
                            ". Entfernen Sie sie, wenn kein Lauf sie geschrieben hat.",
                        3, false);
}

}  // namespace llupdate::rewrites
