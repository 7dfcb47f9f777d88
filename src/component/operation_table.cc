#include <sstream>

#include "llupdate/operations.h"
#include "rewrites/number_text.h"

namespace llupdate {
namespace {

using Args = std::vector<std::string>;
using Connection = std::shared_ptr<Object>;
using C = clsReportLLUpdate;

constexpr Parameter kDb = {"DBPATH", ParameterRole::kDbPath};
constexpr Parameter kExe = {"EXEDIR", ParameterRole::kExeDir};
constexpr Parameter kUser = {"USER", ParameterRole::kText};
constexpr Parameter kFileName = {"FILENAME", ParameterRole::kText};
constexpr Parameter kType = {"TYPE", ParameterRole::kText};

// A paragraph of help, its lines broken between words before column 88.
std::string Wrapped(const std::string& text) {
  std::string out, line, word;
  for (std::istringstream words(text); words >> word;) {
    if (!line.empty() && line.size() + 1 + word.size() > 88) {
      out += line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return out + line + "\n";
}

std::vector<Operation> Table() {
  return {
      {"Pruefe_Druckkataloge",
       {kExe, kUser},
       "print catalogues",
       "make sure the user's print catalogue directories exist",
       "Creates EXEDIR/BERICHTELL<USER> and its Preview subdirectory where they are missing\n"
       "(USER in capitals, without surrounding blanks).\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) { return Variant(c.Pruefe_Druckkataloge(a[0], a[1])); },
       "",
       "",
       ""},
      {"Kopiere_Neue_Formulare_LL",
       {kDb, kExe, kUser},
       "distribution",
       "distribute a delivery of new forms (see: distribute)",
       "The operation behind 'distribute'.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) {
         return Variant(c.Kopiere_Neue_Formulare_LL(a[0], a[1], a[2]));
       },
       "distribute",
       "copy newly delivered forms into the form directory",
       "When DBPATH/BerichteLLOrg holds the delivery marker NeueBerichte.txt, every delivered\n"
       "form that is missing from DBPATH/BerichteLL is copied in, and a delivered list form\n"
       "(.lst) replaces the installed one when its Version is higher. Forms the user has\n"
       "changed are otherwise never overwritten. The marker is deleted when all is done, so a\n"
       "delivery is distributed once. The user's print catalogue EXEDIR/BERICHTELL<USER> is\n"
       "created on the way. An EXEDIR that is not a directory is refused (exit status 1)\n"
       "before anything changes, so that a typo does not use up the delivery.\n"},
      {"Suche_ErsetzeProjektdatei",
       {kFileName,
        kDb,
        {"SELECTOR", ParameterRole::kText},
        {"SEARCH", ParameterRole::kText},
        {"REPLACE", ParameterRole::kText}},
       "search and replace",
       "search and replace in the selected lines of one form",
       "In every line of DBPATH/BerichteLL/FILENAME that contains SELECTOR, every SEARCH is\n"
       "replaced by REPLACE (exact case). The form is rewritten through a temporary file and a\n"
       "backup only when a line was selected.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) {
         return Variant(c.Suche_ErsetzeProjektdatei(a[0], a[1], a[2], a[3], a[4]));
       },
       "",
       "",
       ""},
      {"Suche_ErsetzeProjektdatei_LL12",
       {kFileName, kDb},
       "LL12 contents",
       "List & Label 12 contents of one form (see: ll12)",
       "The per-form rewrite behind 'll12'.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) {
         return Variant(c.Suche_ErsetzeProjektdatei_LL12(a[0], a[1]));
       },
       "",
       "",
       ""},
      {"Suche_ErsetzeProjektdatei_LL15",
       {kFileName, kDb},
       "LL15 layout",
       "List & Label 15 layout of one form (see: ll24)",
       "The per-form rewrite behind 'll24': re-save through the List & Label control, frames\n"
       "off, header, sum and price borders on, by form type.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) {
         return Variant(c.Suche_ErsetzeProjektdatei_LL15(a[0], a[1]));
       },
       "",
       "",
       ""},
      {"Suche_ErsetzeProjektdatei_Seite",
       {kFileName,
        kDb,
        {"SELECTOR", ParameterRole::kText},
        {"SEARCH", ParameterRole::kText},
        {"REPLACE", ParameterRole::kText},
        {"PAGE_SELECTOR", ParameterRole::kText},
        kType},
       "page-number object",
       "search and replace in one form, moving and widening its page-number object",
       "Like Suche_ErsetzeProjektdatei; in addition the line that contains PAGE_SELECTOR and the\n"
       "ten lines after it get Position/Left 9000 less and Position/Width 9000 more.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) {
         return Variant(
             c.Suche_ErsetzeProjektdatei_Seite(a[0], a[1], a[2], a[3], a[4], a[5], a[6]));
       },
       "",
       "",
       ""},
      {"Suche_ErsetzeProjektdatei_Mahnung",
       {kFileName, kDb},
       "dunning form",
       "widths and wrapping of one dunning form (see: dunning)",
       "The per-form rewrite behind 'dunning'.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) {
         return Variant(c.Suche_ErsetzeProjektdatei_Mahnung(a[0], a[1]));
       },
       "",
       "",
       ""},
      {"Pruefe_Konvertiere_Formulare",
       {kDb},
       "conversion driver",
       "run the pending conversion steps (see: convert)",
       "The operation behind 'convert'. Its progress is kept in the --settings file.\n",
       true,
       true,
       0,
       [](C& c, const Args& a, Connection& connection) {
         return Variant(c.Pruefe_Konvertiere_Formulare(a[0], connection));
       },
       "convert",
       "bring the forms of a database up to date (the conversion driver)",
       "Runs, in order, every conversion step the database still needs: {steps}. Each step is "
       "recorded in the --settings file as soon as it succeeds; a failed step stops the run, and "
       "the next run begins with it. Inspect or reset the record with 'llupdate setting -d "
       "DBPATH {record} [STEP]' (0 runs every step again). A second run on a converted database "
       "says that there is nothing to do. The settings file records the database it belongs to; "
       "one of another database is refused (exit status 2) unless --adopt-settings is given."},
      {"Umstellung_Auf_Neue_Anschrift",
       {kDb},
       "address switch-over",
       "new address field (see: address)",
       "The operation behind 'address'.\n",
       true,
       false,
       1,
       [](C& c, const Args& a, Connection&) {
         return Variant(c.Umstellung_Auf_Neue_Anschrift(a[0]));
       },
       "address",
       "switch the address field of the forms to the new company address",
       "In the .bel, .war, .mah and .bst forms every line with \"Spacing.Paragraph=8\" gets\n"
       "\"=Firmendaten.NeueAnschrift\" in place of \"=8\".\n"},
      {"Korrektur_Wart_Farbe",
       {kDb},
       "WAR colours",
       "black colours in the WAR forms (see: war-colours)",
       "The operation behind 'war-colours'.\n",
       true,
       false,
       3,
       [](C& c, const Args& a, Connection&) { return Variant(c.Korrektur_Wart_Farbe(a[0])); },
       "war-colours",
       "print zero values black in the WAR forms",
       "In the .war forms the colour formulas that print a zero quantity, unit price or total\n"
       "price white become plain black, \"=RGB (0,0,0)\".\n"},
      {"Umstellung_auf_LL12",
       {kDb},
       "LL12 contents",
       "List & Label 12 contents of all forms (see: ll12)",
       "The operation behind 'll12'.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) { return Variant(c.Umstellung_auf_LL12(a[0])); },
       "ll12",
       "convert the contents of the forms for List & Label 12",
       "In the .bel, .war and .mah forms: bFormatFromVar=TRUE becomes FALSE and sixteen plain\n"
       "fields become RTF contents; in dunning forms Bilder.BildFS becomes Bilder.Bild.\n"},
      {"Umstellung_auf_LL24",
       {kDb},
       "LL24 switch-over",
       "List & Label 24 switch-over of all forms (see: ll24)",
       "The operation behind 'll24'.\n",
       true,
       false,
       6,
       [](C& c, const Args& a, Connection&) { return Variant(c.Umstellung_auf_LL24(a[0])); },
       "ll24",
       "switch all forms over to List & Label 24",
       "Makes every form writable, then rewrites the .bel, .war, .mah, .bst and .mon forms of an\n"
       "older file version into the List & Label 15 layout (frames off, header, sum and price\n"
       "borders on) and re-saves every other form through the List & Label control.\n"},
      {"Suche_ErsetzeProjektdatei_WarFarbe",
       {kDb, kType},
       "page-number windows",
       "page-aware rewrite of every form of one type, three times each",
       "Rewrites every form of TYPE three times with the page-number window and no texts: each\n"
       "time the page-number object moves 9000 to the left and grows 9000 wider.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) {
         return Variant(c.Suche_ErsetzeProjektdatei_WarFarbe(a[0], a[1]));
       },
       "",
       "",
       ""},
      {"Umstellung_Auf_Seite_Von_Bis",
       {kDb, kType},
       "page numbers",
       "page numbers with page count (see: page-numbers)",
       "The operation behind 'page-numbers'.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) {
         return Variant(c.Umstellung_Auf_Seite_Von_Bis(a[0], a[1]));
       },
       "page-numbers",
       "show \"Seite N von M\" in the forms of one type",
       "In every form of TYPE the page-number formula gets the page count, and the page-number\n"
       "object moves 9000 units to the left and grows 9000 wider so that the text fits. Since a\n"
       "second run would move and widen the object again, it refuses (exit status 1, nothing\n"
       "changed) when a form of TYPE already shows the page count or the settings file records\n"
       "that TYPE was switched over (section llupdate, key PageNumbers.TYPE); --force runs it\n"
       "anyway. A TYPE without forms is refused (exit status 1) and nothing is recorded.\n"
       "A form whose formula is not where the switch-over replaces it is named afterwards: it\n"
       "shows no page count. The exact operation Umstellung_Auf_Seite_Von_Bis has no such\n"
       "guard.\n"},
      {"Umstellung_Mahnformular",
       {kDb, kType},
       "dunning forms",
       "dunning-form widths of one type (see: dunning)",
       "The operation behind 'dunning'.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) {
         return Variant(c.Umstellung_Mahnformular(a[0], a[1]));
       },
       "dunning",
       "widen the empty-line field of the dunning forms and let it wrap",
       "In every form of TYPE (list forms excepted) the object of POSITION.LEERZEILE1 gets line\n"
       "wrapping and the width 130000 instead of 30000. A TYPE without forms is refused (exit\n"
       "status 1): a typo converts nothing.\n"},
      {"SchreibschutzEntfernenAlleDateien",
       {{"DIR", ParameterRole::kDir}},
       "read-only removal",
       "make every file of a directory writable",
       "Removes the read-only attribute of every file directly in DIR (subdirectories are left\n"
       "alone). Always succeeds; files that cannot be changed are reported.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) { return c.SchreibschutzEntfernenAlleDateien(a[0]); },
       "",
       "",
       ""},
      {"SchreibschutzEntfernen",
       {{"FILE", ParameterRole::kFile}},
       "read-only removal",
       "make one file writable",
       "Removes the read-only attribute of FILE; a missing FILE is no error.\n",
       true,
       false,
       0,
       [](C& c, const Args& a, Connection&) { return Variant(c.SchreibschutzEntfernen(a[0])); },
       "",
       "",
       ""},
  };
}

}  // namespace

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = Table();
  return operations;
}

std::string FriendlyHelp(const Operation& operation) {
  std::string help = operation.friendly_help;
  bool filled = false;
  for (const auto& [mark, words] : {std::pair<std::string, std::string>{"{steps}", StepsInWords()},
                                    {"{record}", StepRecordWords()}}) {
    for (size_t at; (at = help.find(mark)) != std::string::npos; filled = true) {
      help.replace(at, mark.size(), words);
    }
  }
  return filled ? Wrapped(help) : help;
}

const Operation* FindFriendly(const std::string& command) {
  for (const Operation& operation : Operations()) {
    if (command == operation.friendly) return &operation;
  }
  return nullptr;
}

const Operation& DriverOperation() {
  for (const Operation& operation : Operations()) {
    if (operation.uses_settings) return operation;
  }
  return Operations().front();  // not reached: the table has its driver
}

const Operation& ReadOnlyRemoval(bool folder) {
  return *FindOperation(folder ? "SchreibschutzEntfernenAlleDateien" : "SchreibschutzEntfernen");
}

const Operation* FindOperation(const std::string& name) {
  for (const Operation& operation : Operations()) {
    if (name == operation.name) return &operation;
  }
  return nullptr;
}

int StepOfRecord(const std::string& value) {
  const int16_t last = rewrites::ToInteger16(value);
  if (last == 32767) throw Error(kOverflow, std::string(kStepRecordKey) + " " + value);
  return last;
}

const Operation* OperationOfStep(int step) {
  for (const Operation& operation : Operations()) {
    if (operation.driver_step == step && step > 0) return &operation;
  }
  return nullptr;
}

namespace {

// The steps that are no operation: step 2 only reminds (its notice goes to the host, a person
// gets the hint), 4 and 5 keep their numbers.
struct PlainStep {
  int step;
  const char* label;
  const char* notice;  // "" when the step shows none
  const char* hint;    // "" when a person needs none
};
constexpr PlainStep kPlainSteps[] = {
    {2, "LL12 reminder",
     "Die Datenbankversion entspricht einer Version vor Stand 6.7. \r\n"
     "Die Umstellung der Formulare \"auf_LL12\" muss evtl. manuell erfolgen.",
     "the contents are converted by hand: 'llupdate ll12'"},
    {4, "nothing to do", "", ""},
    {5, "nothing to do", "", ""},
};

const PlainStep* PlainStepOf(int step) {
  for (const PlainStep& plain : kPlainSteps) {
    if (plain.step == step) return &plain;
  }
  return nullptr;
}

}  // namespace

std::string StepLabel(int step) {
  if (const Operation* operation = OperationOfStep(step)) return operation->label;
  const PlainStep* plain = PlainStepOf(step);
  return plain != nullptr ? plain->label : "nothing to do";
}

std::string StepNotice(int step) {
  const PlainStep* plain = OperationOfStep(step) == nullptr ? PlainStepOf(step) : nullptr;
  return plain != nullptr ? plain->notice : "";
}

std::string StepWords(int step) {
  const PlainStep* plain = OperationOfStep(step) == nullptr ? PlainStepOf(step) : nullptr;
  if (plain == nullptr || *plain->hint == '\0') return StepLabel(step);
  return StepLabel(step) + " (" + plain->hint + ")";
}

std::string StepsInWords() {
  std::string words;
  for (int step = 1; step <= kDriverSteps; ++step) {
    words += (step > 1 ? ", " : "") + std::to_string(step) + " " + StepWords(step);
  }
  return words;
}

}  // namespace llupdate
