// clsReportLLUpdate: keeps the List & Label report forms of a host database up to date.
//
// The host creates an instance and calls one operation at a time on the thread that created it.
// Every operation catches its own errors: a False result means the user has been told already,
// through its message component (CallOptions::messages, else the thread's, see host.h). The only
// exception that leaves an operation is HostFailure, when that message component itself fails.
//
// Paths are component paths: "\" separates their parts (as does "/"), and existing parts are
// found without regard to letter case. Strings are UTF-8.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "llupdate/call.h"
#include "llupdate/host.h"
#include "llupdate/journal.h"
#include "llupdate/object.h"
#include "llupdate/variant.h"

namespace llupdate {

class clsReportLLUpdate {
 public:
  clsReportLLUpdate();
  ~clsReportLLUpdate();
  clsReportLLUpdate(const clsReportLLUpdate&) = delete;
  clsReportLLUpdate& operator=(const clsReportLLUpdate&) = delete;

  // Makes sure that the user's print catalogue directory and its Preview subdirectory exist below
  // the program directory.
  bool Pruefe_Druckkataloge(const std::string& pExeDir, const std::string& pUser);
  // Copies newly delivered forms from BerichteLLOrg into BerichteLL, once per delivery, without
  // overwriting forms the user has changed.
  bool Kopiere_Neue_Formulare_LL(const std::string& pDBPath, const std::string& pExeDir,
                                 const std::string& pUser);
  // Search and replace in the selected lines of one form, with backup.
  bool Suche_ErsetzeProjektdatei(const std::string& pFilename, const std::string& pDBPath,
                                 const std::string& pSucheNach, const std::string& pSuche,
                                 const std::string& pErsetze);
  // Rewrites the RTF contents of one form for List & Label 12.
  bool Suche_ErsetzeProjektdatei_LL12(const std::string& pFilename, const std::string& pDBPath);
  // Rewrites one form into the List & Label 15 layout.
  bool Suche_ErsetzeProjektdatei_LL15(const std::string& pFilename, const std::string& pDBPath);
  // Search and replace in one form; moves and widens its page-number object.
  bool Suche_ErsetzeProjektdatei_Seite(const std::string& pFilename, const std::string& pDBPath,
                                       const std::string& pSucheNach, const std::string& pSuche,
                                       const std::string& pErsetze,
                                       const std::string& pSucheNachSeite,
                                       const std::string& pExtension);
  // Width and wrap rewrite of one dunning form.
  bool Suche_ErsetzeProjektdatei_Mahnung(const std::string& pFilename, const std::string& pDBPath);
  // The conversion driver: runs the conversion steps the database still needs and records
  // progress in the settings store that pConnection names (a SettingsConnection by default).
  bool Pruefe_Konvertiere_Formulare(const std::string& pDBPath,
                                    std::shared_ptr<Object>& pConnection);
  // The same for a connection the host does not keep, for example
  // Pruefe_Konvertiere_Formulare(db, std::make_shared<SettingsConnection>(file)).
  bool Pruefe_Konvertiere_Formulare(const std::string& pDBPath,
                                    std::shared_ptr<Object>&& pConnection) {
    return Pruefe_Konvertiere_Formulare(pDBPath, pConnection);
  }
  // Address switch-over of the forms of four form types.
  bool Umstellung_Auf_Neue_Anschrift(const std::string& pDBPath);
  // Colour correction of the WAR forms.
  bool Korrektur_Wart_Farbe(const std::string& pDBPath);
  // List & Label 12 switch-over of all forms.
  bool Umstellung_auf_LL12(const std::string& pDBPath);
  // List & Label 24 switch-over of all forms.
  bool Umstellung_auf_LL24(const std::string& pDBPath);
  // Page-aware rewrite of every form of one type, three times per file.
  bool Suche_ErsetzeProjektdatei_WarFarbe(const std::string& pDBPath,
                                          const std::string& pExtension);
  // Switches the page numbers of one form type to page number with page count.
  bool Umstellung_Auf_Seite_Von_Bis(const std::string& pDBPath, const std::string& pExtension);
  // Dunning-form switch-over of one form type.
  bool Umstellung_Mahnformular(const std::string& pDBPath, const std::string& pExtension);
  // Removes the read-only attribute of every file directly in a directory. Always empty.
  Variant SchreibschutzEntfernenAlleDateien(std::string PfadName);
  // Removes the read-only attribute of one file; True also when the file is not there.
  bool SchreibschutzEntfernen(std::string sFilename);

  // Takes back the newest run of the database that was not taken back (see journal.h): the
  // forms it changed get their content and attributes of before, files it created go, files it
  // removed come back, and the settings it changed in the store pConnection names (a
  // SettingsConnection; none when empty) return to their values. A file changed since the run
  // stays as it is, named with the reason in an error message. The undo is a run of its own:
  // taking it back brings the run's result back. False when nothing could be begun.
  bool UndoLastRun(const std::string& pDBPath, std::shared_ptr<Object> pConnection = nullptr);
  // The runs the database's journal holds, newest first; none when the journal cannot be read
  // (the error is shown).
  std::vector<JournalRun> History(const std::string& pDBPath);
  // Options for the calls of this instance (call.h): durable writes, lock wait, cancellation,
  // progress. A field left empty follows the process-wide setting.
  void SetCallOptions(CallOptions options);
  const CallOptions& call_options() const;
  // What the last call that writes to a database did (call.h): the forms it examined, rewrote,
  // left unchanged, refused or failed, the errors it showed, whether the database was busy or
  // the call was cancelled. The command line prints these counts as its summary.
  const CallSummary& LastCallSummary() const;

  // What the instance keeps between and within its calls: the component's own.
  struct State;

 private:
  friend State& StateOf(clsReportLLUpdate& self);
  std::unique_ptr<State> state_;
};

}  // namespace llupdate
