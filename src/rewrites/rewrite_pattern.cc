#include "rewrites/rewrite_pattern.h"

#include <exception>
#include <utility>

#include "journal/journal.h"
#include "llupdate/progress.h"
#include "rewrites/form_names.h"

namespace llupdate::rewrites {

using host::IgnoreErrors;

FormFiles FilesOfForm(const std::string& pFilename, const std::string& pDBPath) {
  std::string dir = pDBPath + "\\Berichtell\\";
  return {dir + pFilename, dir + TemporaryName(pFilename), dir + BackupName(pFilename), pFilename};
}

void RequireFormName(platform::FileSystem& fs, const FormFiles& files) {
  const std::string why = fs.WhyNotAName(files.name);
  if (!why.empty()) throw platform::Error(platform::kPathNotFound, files.source + " (" + why + ")");
}

void ReplaceAll(std::string& line, const std::string& search, const std::string& replacement) {
  if (search.empty()) return;
  size_t pos = line.find(search);
  if (pos == std::string::npos) return;
  std::string out;
  out.reserve(line.size() + replacement.size());
  size_t from = 0;
  while (pos != std::string::npos) {
    out.append(line, from, pos - from);
    out.append(replacement);
    from = pos + search.size();
    pos = line.find(search, from);
  }
  out.append(line, from, std::string::npos);
  line.swap(out);
}

namespace {

// Holds the temporary file while it is written: unless it was finished, it is closed and
// removed, so that a half-written temporary file never stays behind.
class TemporaryFile {
 public:
  TemporaryFile(files::FileContext& ctx, int32_t number, const std::string& path)
      : ctx_(ctx), number_(number), path_(path) {}
  ~TemporaryFile() {
    if (number_ == 0) return;
    ctx_.table.CloseQuietly(number_);
    try {
      RemoveOwnFile(ctx_, path_);
    } catch (...) {
      ctx_.LeftBehind();  // a destructor never throws; the next writer removes it
    }
  }
  // Closes the file, which writes what is still buffered; a failure leaves it unfinished.
  void Finish() {
    ctx_.table.Close(number_);
    number_ = 0;
  }

 private:
  files::FileContext& ctx_;
  int32_t number_;
  std::string path_;
};

}  // namespace

void SetAside(files::FileContext& ctx, const std::string& path) {
  if (ctx.journal != nullptr && ctx.journal->KeepRemoved(path)) {
    const size_t slash = path.find_last_of("\\/");
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    host::ShowHostMessage(ctx.reporter,
                          name + " was not made by llupdate; kept, `llupdate undo` restores it", 3,
                          false);
    return;
  }
  // With keeping on nothing the run removes is lost: a file the journal cannot take stays.
  if (ctx.journal != nullptr || ctx.journal_wanted) {
    throw platform::Error(platform::kFileAlreadyExists,
                          path +
                              " (nicht von llupdate angelegt; das Journal des Laufs kann die "
                              "Datei nicht aufnehmen, sie bleibt erhalten)");
  }
  ctx.fs.DeleteFile(path, true);
}

uint32_t AttributesBefore(files::FileContext& ctx, const FormFiles& files) {
  uint32_t attributes = 0;
  if (ctx.journal != nullptr)
    IgnoreErrors([&] { attributes = ctx.fs.GetAttributes(files.source); });
  return attributes;
}

void KeepOldContent(files::FileContext& ctx, const FormFiles& files, uint32_t attributes) {
  if (ctx.journal != nullptr && ctx.journal->KeepReplaced(files.source, files.backup, attributes)) {
    return;
  }
  RemoveOwnFile(ctx, files.backup);
}

void RemoveOwnFile(files::FileContext& ctx, const std::string& path) {
  try {
    ctx.fs.DeleteFile(path, true);
  } catch (const HostFailure&) {
    throw;
  } catch (const platform::Error& e) {
    if (e.number() != platform::kFileNotFound) ctx.LeftBehind();
  } catch (...) {
    ctx.LeftBehind();
  }
}

bool Contains(const std::string& line, const std::string& text) {
  return !line.empty() && line.find(text) != std::string::npos;
}

bool RewriteForm(files::FileContext& ctx, const FormFiles& files, const host::ErrorText& error_text,
                 const LineRule& rule) {
  return RewriteFormWith(ctx, files, error_text,
                         [&](text::TextReader& reader, text::TextWriter& writer) {
                           bool changed = false;
                           std::string line;
                           while (reader.ReadLine(line)) {
                             if (rule(line)) changed = true;
                             writer.WriteLine(line);
                           }
                           return changed;
                         });
}

bool RewriteFormReplacing(files::FileContext& ctx, const FormFiles& files,
                          const host::ErrorText& error_text, const std::string& selector,
                          const std::string& search, const std::string& replacement) {
  return RewriteFormWith(
      ctx, files, error_text, [&](text::TextReader& reader, text::TextWriter& writer) {
        std::string selector_bytes, search_bytes, replacement_bytes;
        const bool in_bytes = reader.encoding() == text::Encoding::kAnsi &&
                              text::EncodeCp1252Exactly(selector, &selector_bytes) &&
                              text::EncodeCp1252Exactly(search, &search_bytes) &&
                              text::EncodeCp1252Exactly(replacement, &replacement_bytes);
        const std::string& s = in_bytes ? selector_bytes : selector;
        const std::string& f = in_bytes ? search_bytes : search;
        const std::string& r = in_bytes ? replacement_bytes : replacement;
        bool changed = false;
        std::string line;
        while (in_bytes ? reader.ReadLineBytes(line) : reader.ReadLine(line)) {
          if (Contains(line, s)) {
            ReplaceAll(line, f, r);
            changed = true;
          }
          if (in_bytes) {
            writer.WriteLineBytes(line);
          } else {
            writer.WriteLine(line);
          }
        }
        return changed;
      });
}

bool RewriteFormWith(files::FileContext& ctx, const FormFiles& files,
                     const host::ErrorText& error_text, const CopyRule& copy) {
  bool changed = false;
  // A form whose swap waits in the job's batch is rewritten on from its temporary file, which
  // then holds the result of every rewrite so far: the form is put in place once.
  const bool chained = ctx.batch != nullptr && ctx.batch->Waiting(files.source);
  const std::string& from = chained ? files.temporary : files.source;
  const std::string to = chained ? platform::PartialFileName(files.temporary) : files.temporary;
  bool copied = host::Armed(ctx.reporter, error_text, false, [&] {
    RequireFormName(ctx.fs, files);
    int32_t source = files::Ausgabe_Open(ctx, true, from);
    if (source == 0) return false;
    files::NumberedFile source_guard(ctx.table, source);
    text::TextReader& reader = ctx.table.Reader(source);
    reader.RefuseLossyText(files.source);
    text::Encoding encoding = reader.encoding();

    // A temporary file left over from an interrupted run is discarded (kept in the journal).
    if (!chained && ctx.fs.FileExists(files.temporary)) SetAside(ctx, files.temporary);
    int32_t temporary = files::Ausgabe_Open(ctx, false, to, encoding, true);
    if (temporary == 0) return false;
    TemporaryFile temporary_guard(ctx, temporary, to);
    text::TextWriter& writer = ctx.table.Writer(temporary);

    changed = copy(reader, writer);
    temporary_guard.Finish();
    IgnoreErrors([&] { source_guard.Close(); });
    if (chained && changed) {
      try {
        if (!ctx.fs.ReplaceFile(to, files.temporary)) {
          ctx.fs.CopyFile(to, files.temporary, true);
          ctx.fs.DeleteFile(to, true);
        }
      } catch (...) {
        RemoveOwnFile(ctx, to);
        throw;
      }
    }
    return true;
  });
  if (!copied) return false;

  if (chained) {
    if (!changed) RemoveOwnFile(ctx, to);
  } else if (changed) {
    SwapInTemporary(ctx, files);
  } else {
    RemoveOwnFile(ctx, files.temporary);
  }
  return true;
}

namespace {

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string ReasonOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const platform::Error& e) {
    return std::to_string(e.number()) + " " + e.description();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unbekannter Fehler";
  }
}

// The form keeps its old content: the converted copy and the backup (when this run made it) go,
// and the user learns which form and why.
void ReportNotReplaced(files::FileContext& ctx, const FormFiles& files,
                       const std::exception_ptr& error, bool backup_made) {
  ctx.IoFailure();
  if (backup_made) RemoveOwnFile(ctx, files.backup);
  RemoveOwnFile(ctx, files.temporary);
  if (ctx.progress != nullptr) ctx.progress->FormNotReplaced(files.source);
  const std::string text = "Das Formular " + host::Shown(ctx.reporter, files.source) +
                           " konnte nicht ersetzt werden und ist unverändert: ";
  try {
    std::rethrow_exception(error);
  } catch (const platform::Error& e) {
    // The cause goes with the message, so that the host can say what to do about it.
    const platform::Error shown = host::WithShownPath(ctx.reporter, e);
    host::ShowErrorMessage(ctx.reporter,
                           text + std::to_string(shown.number()) + " " + shown.description() + ".",
                           shown);
    return;
  } catch (...) {
  }
  host::ShowHostMessage(ctx.reporter, text + ReasonOf(error) + ".", 3, true);
}

// The swap where the file system has second names and renames over: the backup becomes a
// second name of the old content, the new file is renamed over the form, the backup goes last.
// The form's name refers to complete content at every instant.
//
// The first part gives the form its backup: kLinked, or kHandled when the form keeps its old
// content (reported), or kNoLinks when the file system has no second names (nothing changed).
enum class Backup { kLinked, kHandled, kNoLinks };
Backup LinkBackup(files::FileContext& ctx, const FormFiles& files) {
  platform::FileSystem& fs = ctx.fs;
  bool linked = false;
  try {
    try {
      linked = fs.LinkFile(files.source, files.backup);
    } catch (const platform::Error& e) {
      if (e.number() != platform::kFileAlreadyExists) throw;
      // A backup left by an earlier run is replaced (a link planted there is removed itself);
      // the journal keeps it.
      SetAside(ctx, files.backup);
      linked = fs.LinkFile(files.source, files.backup);
    }
  } catch (const HostFailure&) {
    throw;
  } catch (const platform::Error& e) {
    // Without a form there is no old content to keep; anything else keeps the form as it is.
    // No backup was made then: a file under its name is another's.
    if (e.number() != platform::kFileNotFound) {
      ReportNotReplaced(ctx, files, std::current_exception(), false);
      return Backup::kHandled;
    }
    linked = true;
  } catch (...) {
    ReportNotReplaced(ctx, files, std::current_exception(), false);
    return Backup::kHandled;
  }
  return linked ? Backup::kLinked : Backup::kNoLinks;
}

// The second part renames the new file over the form and lets the backup go. False when the
// file system cannot rename over (the backup is gone again then, nothing else changed).
bool RenameOver(files::FileContext& ctx, const FormFiles& files, uint32_t attributes, bool told) {
  try {
    if (!ctx.fs.ReplaceFile(files.temporary, files.source)) {
      RemoveOwnFile(ctx, files.backup);
      return false;
    }
  } catch (const HostFailure&) {
    throw;
  } catch (...) {
    ReportNotReplaced(ctx, files, std::current_exception(), true);
    return true;
  }
  ctx.FolderChanged(FolderOf(files.source));
  if (ctx.progress != nullptr && !told) ctx.progress->FormWritten(files.source);
  // The form is complete: its old content goes into the run's journal, or away; a backup that
  // stays is found and removed by the next run.
  KeepOldContent(ctx, files, attributes);
  return true;
}

// The classic sequence, for a file system that offers only copy, delete and move.
void ClassicSwap(files::FileContext& ctx, const FormFiles& files) {
  platform::FileSystem& fs = ctx.fs;
  const uint32_t attributes = AttributesBefore(ctx, files);
  ctx.FolderChanged(FolderOf(files.source));
  // A backup in the way goes into the run's journal; one the journal cannot take keeps the form
  // as it is.
  if (ctx.journal != nullptr || ctx.journal_wanted) {
    try {
      if (fs.FileExists(files.backup)) SetAside(ctx, files.backup);
    } catch (const HostFailure&) {
      throw;
    } catch (...) {
      ReportNotReplaced(ctx, files, std::current_exception(), false);
      return;
    }
  }
  bool backed_up = false;
  IgnoreErrors([&] {
    fs.CopyFile(files.source, files.backup, true);
    backed_up = true;
  });
  IgnoreErrors([&] { fs.DeleteFile(files.source, true); });
  bool moved = false;
  IgnoreErrors([&] {
    fs.MoveFile(files.temporary, files.source);
    moved = true;
  });

  bool source_there = true;
  IgnoreErrors([&] { source_there = fs.FileExists(files.source); });
  if (source_there) {
    if (moved) {
      if (ctx.progress != nullptr) ctx.progress->FormWritten(files.source);
      KeepOldContent(ctx, files, attributes);
    } else {
      RemoveOwnFile(ctx, files.backup);
    }
    // When the form could not be replaced, the old one is still in place: the temporary file
    // is of no further use.
    RemoveOwnFile(ctx, files.temporary);
    return;
  }
  // The form is missing: whatever holds its content stays, and the user learns where.
  ctx.IoFailure();
  bool temporary_there = false;
  IgnoreErrors([&] { temporary_there = fs.FileExists(files.temporary); });
  std::string text =
      "Das Formular " + host::Shown(ctx.reporter, files.source) + " fehlt nach dem Ersetzen.";
  if (backed_up) {
    text += " Sein Inhalt ist in der Sicherungsdatei " + host::Shown(ctx.reporter, files.backup) +
            " erhalten.";
    if (temporary_there)
      text +=
          " Der umgestellte Inhalt steht in " + host::Shown(ctx.reporter, files.temporary) + ".";
  } else if (temporary_there) {
    text +=
        " Sein umgestellter Inhalt steht in " + host::Shown(ctx.reporter, files.temporary) + ".";
  }
  host::ShowHostMessage(ctx.reporter, text, 3, true);
}

}  // namespace

void SwapInTemporary(files::FileContext& ctx, const FormFiles& files) {
  const uint32_t attributes = AttributesBefore(ctx, files);
  const Backup backup = LinkBackup(ctx, files);
  if (backup == Backup::kHandled) return;
  // The backup is made now, so that what it shows comes in its place; where the job batches its
  // flushes, the rename waits for the batch's flush.
  if (backup == Backup::kLinked && ctx.batch != nullptr &&
      ctx.batch->Defer(files.source,
                       [ctx, files, attributes](const std::exception_ptr& flush_error) mutable {
                         if (flush_error) {
                           ReportNotReplaced(ctx, files, flush_error, true);
                         } else if (!RenameOver(ctx, files, attributes, true)) {
                           ClassicSwap(ctx, files);
                         }
                       })) {
    // The form is told as written now, as it is when the swap happens at once; a swap that
    // fails when the batch settles tells that the form was not replaced, and why.
    if (ctx.progress != nullptr) ctx.progress->FormWritten(files.source);
    return;
  }
  if (backup == Backup::kNoLinks || !RenameOver(ctx, files, attributes, false)) {
    ClassicSwap(ctx, files);
  }
}

}  // namespace llupdate::rewrites
