#include "rewrites/leftovers.h"

#include <map>
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

std::vector<Leftover> FindLeftovers(platform::FileSystem& fs, const std::string& folder,
                                    const std::vector<platform::FileEntry>& files,
                                    const std::vector<platform::OwnFile>& own) {
  std::set<std::string> present;  // folded names
  for (const auto& f : files) present.insert(text::FoldCase(f.name));
  auto exists = [&](const std::string& name) { return present.count(text::FoldCase(name)); };
  // A name is the program's when the record names it and the file there is still the one it
  // made (the identity asked once per name, and only for names the record holds).
  // Files recorded without a name (made before their names were known) are the run's under any
  // name: for them every candidate's identity is asked.
  std::map<std::string, std::vector<std::string>> recorded;
  std::vector<std::string> unnamed;
  for (const platform::OwnFile& o : own) {
    (o.name.empty() ? unnamed : recorded[o.name]).push_back(o.identity);
  }
  auto matches = [&](const std::string& now, const std::string& name) {
    auto it = recorded.find(name);
    if (it != recorded.end()) {
      for (const std::string& identity : it->second) {
        if (IdentityMatches(now, identity)) return true;
      }
    }
    for (const std::string& identity : unnamed) {
      if (IdentityMatches(now, identity)) return true;
    }
    return false;
  };
  auto ours = [&](const std::string& name) {
    if (unnamed.empty() && recorded.count(name) == 0) return false;
    return matches(fs.FileIdentity(folder + "\\" + name), name);
  };
  // A backup made as a second name of its form is not recorded itself: the record names the
  // form's temporary file, and the backup is the run's when the form is that temporary file now
  // (the swap happened) or when backup and form are one file (it did not yet). A file of the
  // backup's name that was there before would have been replaced when the run made its own.
  auto second_name_of_form = [&](const std::string& backup, const std::string& form) {
    const std::string temporary = TemporaryName(form);
    if (unnamed.empty() && recorded.count(temporary) == 0) return false;
    const std::string form_now = fs.FileIdentity(folder + "\\" + form);
    if (matches(form_now, temporary)) return true;
    // Not swapped yet: the run's temporary file is recorded by name, or is there and the run's.
    return !form_now.empty() && fs.FileIdentity(folder + "\\" + backup) == form_now &&
           (recorded.count(temporary) > 0 || ours(temporary));
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
      others.push_back({Leftover::Action::kForeign, f.name, form});
    } else if (partial) {
      others.push_back({Leftover::Action::kRemove, f.name, ""});
    } else if (backup) {
      if (exists(form)) {
        others.push_back({Leftover::Action::kRemove, f.name, form});
      } else {
        restores.push_back({Leftover::Action::kRestore, f.name, form});
      }
    } else {
      // A temporary file may be incomplete: it never becomes a form by itself.
      bool orphan = !exists(form) && !exists(BackupName(form));
      others.push_back(
          {orphan ? Leftover::Action::kKeep : Leftover::Action::kRemove, f.name, form});
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
  std::string text =
      "Ein früherer Lauf wurde nicht beendet; seine Reste in " + folder + " sind aufgeräumt.";
  if (!restored.empty()) text += " Wiederhergestellt: " + restored + ".";
  if (!removed.empty()) text += " Entfernt: " + removed + ".";
  if (!kept.empty()) text += " Behalten (Formular und Sicherung fehlen): " + kept + ".";
  if (!failed.empty()) text += " Nicht aufgeräumt: " + failed + ".";
  host::ShowHostMessage(ctx.reporter, text, 3, !failed.empty());
}

void ReportRestoredInPlace(files::FileContext& ctx, const std::string& folder,
                           const std::vector<std::string>& forms) {
  if (forms.empty()) return;
  std::string list;
  ProgressObserver* progress = ctx.progress;
  for (const std::string& form : forms) {
    list += (list.empty() ? "" : ", ") + form;
    if (progress != nullptr) {
      progress->Healed("restored", folder + "\\" + form, folder + "\\" + form);
    }
  }
  host::ShowHostMessage(ctx.reporter,
                        "Ein früherer Lauf wurde beim Umschreiben an Ort und Stelle unterbrochen; "
                        "diese Formulare in " +
                            folder + " haben ihren alten Inhalt zurück: " + list + ".",
                        3, false);
}

}  // namespace llupdate::rewrites
