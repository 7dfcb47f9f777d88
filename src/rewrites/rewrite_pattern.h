// The rewrite pattern that every line rewrite of a form follows: the form is read line by line
// into the temporary file "xx_" + name beside it, and only when a line was selected does the
// temporary file take the form's place, by way of the short-lived backup "alt_" + name.
//
// What protects the form: the temporary file is closed (and so fully written) before it may
// replace anything, a temporary file that failed is removed, and the backup is never deleted
// while the form itself is missing; that stranded state is reported, naming where the content is.
#pragma once

#include <functional>
#include <string>

#include "files/file_helpers.h"
#include "host/error_convention.h"

namespace llupdate::rewrites {

// The three files of one rewrite, formed by plain concatenation.
struct FormFiles {
  std::string source;     // pDBPath & "\Berichtell\" & name
  std::string temporary;  // ... "xx_" & name
  std::string backup;     // ... "alt_" & name
  std::string name;       // the form's name as the caller gave it
};
FormFiles FilesOfForm(const std::string& pFilename, const std::string& pDBPath);

// Refuses a form name that the file system would not take for one name in the form folder
// (a path such as "..\..\Rechnung.bel", a device name on Windows) before anything is opened by
// it: error 76, naming the path and why.
void RequireFormName(platform::FileSystem& fs, const FormFiles& files);

// A line rule: may change the line in place; returns true when the line is selected (the form
// then counts as changed, also when the line stayed as it was).
using LineRule = std::function<bool(std::string& line)>;

// Copies the form to the temporary file in its own way; returns whether the form changed.
using CopyRule = std::function<bool(text::TextReader& form, text::TextWriter& temporary)>;

// One rewrite cycle with the copy rule. False when the form or the temporary file could not be
// opened (Ausgabe_Open has reported it) or an error happened while copying (reported with
// error_text); True otherwise, also when the final file operations failed.
bool RewriteFormWith(files::FileContext& ctx, const FormFiles& files,
                     const host::ErrorText& error_text, const CopyRule& copy);

// One rewrite cycle that copies line by line with the line rule.
bool RewriteForm(files::FileContext& ctx, const FormFiles& files, const host::ErrorText& error_text,
                 const LineRule& rule);

// One rewrite cycle that replaces search by replacement in every line containing selector. An
// 8-bit form is compared and changed in its own bytes (the texts encoded once), so a line that is
// not selected goes through untouched; the result is the same as on the decoded lines.
bool RewriteFormReplacing(files::FileContext& ctx, const FormFiles& files,
                          const host::ErrorText& error_text, const std::string& selector,
                          const std::string& search, const std::string& replacement);

// True when text occurs in line, as the classic substring test sees it: an empty text occurs in
// every line that is not empty.
bool Contains(const std::string& line, const std::string& text);

// The final file operations once a complete temporary file exists, each with errors ignored:
// the form gets its backup (a second name of its content; a copy where the file system has
// none), the temporary file is renamed over it, and the backup goes into the run's journal or
// away; a form missing then is reported instead. Where the job batches its flushes, the rename
// waits for the batch's flush (a failed flush leaves the form as it is, reported as a swap that
// failed).
void SwapInTemporary(files::FileContext& ctx, const FormFiles& files);

// Removes a file that the sequence overwrites or deletes although the run did not make it (a
// customer's own alt_ or xx_ file): the run's journal keeps it, and a notice names it; without a
// journal it is deleted. A file the journal cannot take stays where it is, and an error naming it
// is thrown, so that the form it stands in the way of is left as it is. Errors are thrown.
void SetAside(files::FileContext& ctx, const std::string& path);

// The form's attributes before a rewrite begins, for the run's journal (0 without one).
uint32_t AttributesBefore(files::FileContext& ctx, const FormFiles& files);
// Once the form has its new content, the backup of its old content goes into the run's journal
// with the form's attributes of before; without one it is removed (RemoveOwnFile).
void KeepOldContent(files::FileContext& ctx, const FormFiles& files, uint32_t attributes);

// Removes a file of the program's own (a temporary file, a backup) if it is there; one that stays
// is noted, so that the next writer of the database looks for it.
void RemoveOwnFile(files::FileContext& ctx, const std::string& path);

// Text helpers of the line rules.
// Replaces every occurrence of search in line, left to right, without overlap.
void ReplaceAll(std::string& line, const std::string& search, const std::string& replacement);

}  // namespace llupdate::rewrites
