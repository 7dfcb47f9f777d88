#include "rewrites/leftovers.h"

#include <set>

#include "host/error_convention.h"
#include "platform/error.h"
#include "text/text.h"

namespace llupdate::rewrites {

namespace {

bool HasPrefix(const std::string& name, const char* prefix) {
  std::string p = prefix;
  return name.size() > p.size() && name.compare(0, p.size(), p) == 0;
}

}  // namespace

std::vector<Leftover> FindLeftovers(const std::vector<platform::FileEntry>& files) {
  std::set<std::string> present;  // folded names
  for (const auto& f : files) present.insert(text::FoldCase(f.name));
  auto exists = [&](const std::string& name) { return present.count(text::FoldCase(name)); };

  std::vector<Leftover> restores, others;
  for (const auto& f : files) {
    if (platform::IsPartialFileName(f.name)) {
      others.push_back({Leftover::Action::kRemove, f.name, ""});
    } else if (HasPrefix(f.name, "alt_")) {
      std::string form = f.name.substr(4);
      if (exists(form)) {
        others.push_back({Leftover::Action::kRemove, f.name, form});
      } else {
        restores.push_back({Leftover::Action::kRestore, f.name, form});
      }
    } else if (HasPrefix(f.name, "xx_")) {
      std::string form = f.name.substr(3);
      // A temporary file may be incomplete: it never becomes a form by itself.
      bool orphan = !exists(form) && !exists("alt_" + form);
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
      break;
  }
}

void HealLeftovers(platform::FileSystem& fs, const std::string& folder) {
  std::vector<platform::FileEntry> files;
  host::IgnoreErrors([&] { files = fs.ListFiles(folder); });
  std::vector<Leftover> leftovers = FindLeftovers(files);
  if (leftovers.empty()) return;
  std::string restored, removed, kept, failed;
  auto add = [](std::string& list, const std::string& item) {
    list += (list.empty() ? "" : ", ") + item;
  };
  platform::NoteFolderChanged(folder);  // what is resolved goes to the disk with the call
  for (const Leftover& leftover : leftovers) {
    try {
      ResolveLeftover(fs, folder, leftover);
      switch (leftover.action) {
        case Leftover::Action::kRestore:
          add(restored, leftover.form + " aus " + leftover.file);
          break;
        case Leftover::Action::kRemove:
          add(removed, leftover.file);
          break;
        case Leftover::Action::kKeep:
          add(kept, leftover.file);
          break;
      }
    } catch (const HostFailure&) {
      throw;
    } catch (const platform::Error& e) {
      add(failed, leftover.file + " (" + std::to_string(e.number()) + " " + e.description() + ")");
    }
  }
  std::string text =
      "Ein früherer Lauf wurde nicht beendet; seine Reste in " + folder + " sind aufgeräumt.";
  if (!restored.empty()) text += " Wiederhergestellt: " + restored + ".";
  if (!removed.empty()) text += " Entfernt: " + removed + ".";
  if (!kept.empty()) text += " Behalten (Formular und Sicherung fehlen): " + kept + ".";
  if (!failed.empty()) text += " Nicht aufgeräumt: " + failed + ".";
  host::ShowHostMessage(text, 3, !failed.empty());
}

}  // namespace llupdate::rewrites
