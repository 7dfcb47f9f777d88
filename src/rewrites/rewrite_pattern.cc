#include "rewrites/rewrite_pattern.h"

#include "llupdate/progress.h"

namespace llupdate::rewrites {

using host::IgnoreErrors;

FormFiles FilesOfForm(const std::string& pFilename, const std::string& pDBPath) {
  std::string dir = pDBPath + "\\Berichtell\\";
  return {dir + pFilename, dir + "xx_" + pFilename, dir + "alt_" + pFilename};
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
    IgnoreErrors([&] { ctx_.fs.DeleteFile(path_, true); });
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

bool Contains(const std::string& line, const std::string& text) {
  return !line.empty() && line.find(text) != std::string::npos;
}

bool RewriteForm(files::FileContext& ctx, const FormFiles& files, const host::ErrorText& error_text,
                 const LineRule& rule) {
  return RewriteFormWith(ctx, files, error_text,
                         [&](platform::TextReader& reader, platform::TextWriter& writer) {
                           bool changed = false;
                           std::string line;
                           while (reader.ReadLine(line)) {
                             if (rule(line)) changed = true;
                             writer.WriteLine(line);
                           }
                           return changed;
                         });
}

bool RewriteFormWith(files::FileContext& ctx, const FormFiles& files,
                     const host::ErrorText& error_text, const CopyRule& copy) {
  bool changed = false;
  bool copied = host::Armed(error_text, false, [&] {
    int32_t source = files::Ausgabe_Open(ctx, true, files.source);
    if (source == 0) return false;
    files::NumberedFile source_guard(ctx.table, source);
    platform::TextReader& reader = ctx.table.Reader(source);
    platform::Encoding encoding = reader.encoding();

    // A temporary file left over from an interrupted run is discarded.
    if (ctx.fs.FileExists(files.temporary)) ctx.fs.DeleteFile(files.temporary, true);
    int32_t temporary = files::Ausgabe_Open(ctx, false, files.temporary, encoding);
    if (temporary == 0) return false;
    TemporaryFile temporary_guard(ctx, temporary, files.temporary);
    platform::TextWriter& writer = ctx.table.Writer(temporary);

    changed = copy(reader, writer);
    temporary_guard.Finish();
    IgnoreErrors([&] { source_guard.Close(); });
    return true;
  });
  if (!copied) return false;

  if (changed) {
    SwapInTemporary(ctx.fs, files);
  } else {
    IgnoreErrors([&] { ctx.fs.DeleteFile(files.temporary, true); });
  }
  return true;
}

void SwapInTemporary(platform::FileSystem& fs, const FormFiles& files) {
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
      if (ProgressObserver* progress = ThreadProgressObserver())
        progress->FormWritten(files.source);
    }
    IgnoreErrors([&] { fs.DeleteFile(files.backup, true); });
    // When the form could not be replaced, the old one is still in place: the temporary file
    // is of no further use.
    IgnoreErrors([&] {
      if (fs.FileExists(files.temporary)) fs.DeleteFile(files.temporary, true);
    });
    return;
  }
  // The form is missing: whatever holds its content stays, and the user learns where.
  bool temporary_there = false;
  IgnoreErrors([&] { temporary_there = fs.FileExists(files.temporary); });
  std::string text = "Das Formular " + files.source + " fehlt nach dem Ersetzen.";
  if (backed_up) {
    text += " Sein Inhalt ist in der Sicherungsdatei " + files.backup + " erhalten.";
    if (temporary_there) text += " Der umgestellte Inhalt steht in " + files.temporary + ".";
  } else if (temporary_there) {
    text += " Sein umgestellter Inhalt steht in " + files.temporary + ".";
  }
  host::ShowHostMessage(text, 3, true);
}

}  // namespace llupdate::rewrites
