#include "commands.h"

#include <algorithm>
#include <filesystem>
#include <map>

#include "platform/file_system.h"
#include "text/text.h"
#include "tools.h"

namespace llupdate::cli {
namespace {

using C = clsReportLLUpdate;
using Args = std::vector<std::string>;

Param Db() { return {"DBPATH", Role::kDbPath}; }
Param Exe() { return {"EXEDIR", Role::kExeDir}; }
Param Text(const char* name) { return {name, Role::kText}; }

Results One(const std::string& operation, Variant result) { return {{operation, result}}; }

using Runner = std::function<Results(C&, const Args&, const Options&)>;

// Each public operation, called with its arguments in interface order.
const std::map<std::string, Runner>& Runners() {
  static const std::map<std::string, Runner> runners = {
      {"Pruefe_Druckkataloge",
       [](C& c, const Args& a, const Options&) {
         return One("Pruefe_Druckkataloge", c.Pruefe_Druckkataloge(a[0], a[1]));
       }},
      {"Kopiere_Neue_Formulare_LL",
       [](C& c, const Args& a, const Options&) {
         return One("Kopiere_Neue_Formulare_LL", c.Kopiere_Neue_Formulare_LL(a[0], a[1], a[2]));
       }},
      {"Suche_ErsetzeProjektdatei",
       [](C& c, const Args& a, const Options&) {
         return One("Suche_ErsetzeProjektdatei",
                    c.Suche_ErsetzeProjektdatei(a[0], a[1], a[2], a[3], a[4]));
       }},
      {"Suche_ErsetzeProjektdatei_LL12",
       [](C& c, const Args& a, const Options&) {
         return One("Suche_ErsetzeProjektdatei_LL12", c.Suche_ErsetzeProjektdatei_LL12(a[0], a[1]));
       }},
      {"Suche_ErsetzeProjektdatei_LL15",
       [](C& c, const Args& a, const Options&) {
         return One("Suche_ErsetzeProjektdatei_LL15", c.Suche_ErsetzeProjektdatei_LL15(a[0], a[1]));
       }},
      {"Suche_ErsetzeProjektdatei_Seite",
       [](C& c, const Args& a, const Options&) {
         return One("Suche_ErsetzeProjektdatei_Seite",
                    c.Suche_ErsetzeProjektdatei_Seite(a[0], a[1], a[2], a[3], a[4], a[5], a[6]));
       }},
      {"Suche_ErsetzeProjektdatei_Mahnung",
       [](C& c, const Args& a, const Options&) {
         return One("Suche_ErsetzeProjektdatei_Mahnung",
                    c.Suche_ErsetzeProjektdatei_Mahnung(a[0], a[1]));
       }},
      {"Pruefe_Konvertiere_Formulare",
       [](C& c, const Args& a, const Options& o) {
         std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(o.settings_file);
         return One("Pruefe_Konvertiere_Formulare",
                    c.Pruefe_Konvertiere_Formulare(a[0], connection));
       }},
      {"Umstellung_Auf_Neue_Anschrift",
       [](C& c, const Args& a, const Options&) {
         return One("Umstellung_Auf_Neue_Anschrift", c.Umstellung_Auf_Neue_Anschrift(a[0]));
       }},
      {"Korrektur_Wart_Farbe",
       [](C& c, const Args& a, const Options&) {
         return One("Korrektur_Wart_Farbe", c.Korrektur_Wart_Farbe(a[0]));
       }},
      {"Umstellung_auf_LL12",
       [](C& c, const Args& a, const Options&) {
         return One("Umstellung_auf_LL12", c.Umstellung_auf_LL12(a[0]));
       }},
      {"Umstellung_auf_LL24",
       [](C& c, const Args& a, const Options&) {
         return One("Umstellung_auf_LL24", c.Umstellung_auf_LL24(a[0]));
       }},
      {"Suche_ErsetzeProjektdatei_WarFarbe",
       [](C& c, const Args& a, const Options&) {
         return One("Suche_ErsetzeProjektdatei_WarFarbe",
                    c.Suche_ErsetzeProjektdatei_WarFarbe(a[0], a[1]));
       }},
      {"Umstellung_Auf_Seite_Von_Bis",
       [](C& c, const Args& a, const Options&) {
         return One("Umstellung_Auf_Seite_Von_Bis", c.Umstellung_Auf_Seite_Von_Bis(a[0], a[1]));
       }},
      {"Umstellung_Mahnformular",
       [](C& c, const Args& a, const Options&) {
         return One("Umstellung_Mahnformular", c.Umstellung_Mahnformular(a[0], a[1]));
       }},
      {"SchreibschutzEntfernenAlleDateien",
       [](C& c, const Args& a, const Options&) {
         return One("SchreibschutzEntfernenAlleDateien", c.SchreibschutzEntfernenAlleDateien(a[0]));
       }},
      {"SchreibschutzEntfernen",
       [](C& c, const Args& a, const Options&) {
         return One("SchreibschutzEntfernen", c.SchreibschutzEntfernen(a[0]));
       }},
  };
  return runners;
}

Runner Run(const std::string& operation) { return Runners().at(operation); }

std::vector<Command> ExactOperations() {
  return {
      {"Pruefe_Druckkataloge",
       "make sure the user's print catalogue directories exist",
       "Creates EXEDIR/BERICHTELL<USER> and its Preview subdirectory where they are missing\n"
       "(USER in capitals, without surrounding blanks).\n",
       {Exe(), Text("USER")},
       true,
       false,
       Run("Pruefe_Druckkataloge"),
       nullptr},
      {"Kopiere_Neue_Formulare_LL",
       "distribute a delivery of new forms (see: distribute)",
       "The operation behind 'distribute'.\n",
       {Db(), Exe(), Text("USER")},
       true,
       false,
       Run("Kopiere_Neue_Formulare_LL"),
       nullptr},
      {"Suche_ErsetzeProjektdatei",
       "search and replace in the selected lines of one form",
       "In every line of DBPATH/BerichteLL/FILENAME that contains SELECTOR, every SEARCH is\n"
       "replaced by REPLACE (exact case). The form is rewritten through a temporary file and a\n"
       "backup only when a line was selected.\n",
       {Text("FILENAME"), Db(), Text("SELECTOR"), Text("SEARCH"), Text("REPLACE")},
       true,
       false,
       Run("Suche_ErsetzeProjektdatei"),
       nullptr},
      {"Suche_ErsetzeProjektdatei_LL12",
       "List & Label 12 contents of one form (see: ll12)",
       "The per-form rewrite behind 'll12'.\n",
       {Text("FILENAME"), Db()},
       true,
       false,
       Run("Suche_ErsetzeProjektdatei_LL12"),
       nullptr},
      {"Suche_ErsetzeProjektdatei_LL15",
       "List & Label 15 layout of one form (see: ll24)",
       "The per-form rewrite behind 'll24': re-save through the List & Label control, frames\n"
       "off, header, sum and price borders on, by form type.\n",
       {Text("FILENAME"), Db()},
       true,
       false,
       Run("Suche_ErsetzeProjektdatei_LL15"),
       nullptr},
      {"Suche_ErsetzeProjektdatei_Seite",
       "search and replace in one form, moving and widening its page-number object",
       "Like Suche_ErsetzeProjektdatei; in addition the line that contains PAGE_SELECTOR and the\n"
       "ten lines after it get Position/Left 9000 less and Position/Width 9000 more.\n",
       {Text("FILENAME"), Db(), Text("SELECTOR"), Text("SEARCH"), Text("REPLACE"),
        Text("PAGE_SELECTOR"), Text("TYPE")},
       true,
       false,
       Run("Suche_ErsetzeProjektdatei_Seite"),
       nullptr},
      {"Suche_ErsetzeProjektdatei_Mahnung",
       "widths and wrapping of one dunning form (see: dunning)",
       "The per-form rewrite behind 'dunning'.\n",
       {Text("FILENAME"), Db()},
       true,
       false,
       Run("Suche_ErsetzeProjektdatei_Mahnung"),
       nullptr},
      {"Pruefe_Konvertiere_Formulare",
       "run the pending conversion steps (see: convert)",
       "The operation behind 'convert'. Its progress is kept in the --settings file.\n",
       {Db()},
       true,
       true,
       Run("Pruefe_Konvertiere_Formulare"),
       nullptr},
      {"Umstellung_Auf_Neue_Anschrift",
       "new address field (see: address)",
       "The operation behind 'address'.\n",
       {Db()},
       true,
       false,
       Run("Umstellung_Auf_Neue_Anschrift"),
       nullptr},
      {"Korrektur_Wart_Farbe",
       "black colours in the WAR forms (see: war-colours)",
       "The operation behind 'war-colours'.\n",
       {Db()},
       true,
       false,
       Run("Korrektur_Wart_Farbe"),
       nullptr},
      {"Umstellung_auf_LL12",
       "List & Label 12 contents of all forms (see: ll12)",
       "The operation behind 'll12'.\n",
       {Db()},
       true,
       false,
       Run("Umstellung_auf_LL12"),
       nullptr},
      {"Umstellung_auf_LL24",
       "List & Label 24 switch-over of all forms (see: ll24)",
       "The operation behind 'll24'.\n",
       {Db()},
       true,
       false,
       Run("Umstellung_auf_LL24"),
       nullptr},
      {"Suche_ErsetzeProjektdatei_WarFarbe",
       "page-aware rewrite of every form of one type, three times each",
       "Rewrites every form of TYPE three times with the page-number window and no texts: each\n"
       "time the page-number object moves 9000 to the left and grows 9000 wider.\n",
       {Db(), Text("TYPE")},
       true,
       false,
       Run("Suche_ErsetzeProjektdatei_WarFarbe"),
       nullptr},
      {"Umstellung_Auf_Seite_Von_Bis",
       "page numbers with page count (see: page-numbers)",
       "The operation behind 'page-numbers'.\n",
       {Db(), Text("TYPE")},
       true,
       false,
       Run("Umstellung_Auf_Seite_Von_Bis"),
       nullptr},
      {"Umstellung_Mahnformular",
       "dunning-form widths of one type (see: dunning)",
       "The operation behind 'dunning'.\n",
       {Db(), Text("TYPE")},
       true,
       false,
       Run("Umstellung_Mahnformular"),
       nullptr},
      {"SchreibschutzEntfernenAlleDateien",
       "make every file of a directory writable",
       "Removes the read-only attribute of every file directly in DIR (subdirectories are left\n"
       "alone). Always succeeds; files that cannot be changed are reported.\n",
       {{"DIR", Role::kDir}},
       true,
       false,
       Run("SchreibschutzEntfernenAlleDateien"),
       nullptr},
      {"SchreibschutzEntfernen",
       "make one file writable",
       "Removes the read-only attribute of FILE; a missing FILE is no error.\n",
       {{"FILE", Role::kFile}},
       true,
       false,
       Run("SchreibschutzEntfernen"),
       nullptr},
  };
}

std::vector<Command> FriendlyCommands() {
  return {
      {"convert",
       "bring the forms of a database up to date (the conversion driver)",
       "Runs, in order, every conversion step the database still needs: 1 new address field,\n"
       "2 a reminder that the List & Label 12 contents are converted by hand ('ll12'), 3 WAR\n"
       "colours, 4 and 5 nothing, 6 the List & Label 24 switch-over. Each step is recorded in\n"
       "the --settings file as soon as it succeeds; a failed step stops the run, and the next\n"
       "run begins with it. Inspect or reset the record with\n"
       "'llupdate setting -d DBPATH CheckReportLL LetzterWert [STEP]' (0 runs every step\n"
       "again). A second run on a converted database says that there is nothing to do. The\n"
       "settings file records the database it belongs to; one of another database is refused\n"
       "(exit status 2) unless --adopt-settings is given.\n",
       {Db()},
       true,
       true,
       Run("Pruefe_Konvertiere_Formulare"),
       nullptr},
      {"distribute",
       "copy newly delivered forms into the form directory",
       "When DBPATH/BerichteLLOrg holds the delivery marker NeueBerichte.txt, every delivered\n"
       "form that is missing from DBPATH/BerichteLL is copied in, and a delivered list form\n"
       "(.lst) replaces the installed one when its Version is higher. Forms the user has\n"
       "changed are otherwise never overwritten. The marker is deleted when all is done, so a\n"
       "delivery is distributed once. The user's print catalogue EXEDIR/BERICHTELL<USER> is\n"
       "created on the way.\n",
       {Db(), Exe(), Text("USER")},
       true,
       false,
       Run("Kopiere_Neue_Formulare_LL"),
       nullptr},
      {"address",
       "switch the address field of the forms to the new company address",
       "In the .bel, .war, .mah and .bst forms every line with \"Spacing.Paragraph=8\" gets\n"
       "\"=Firmendaten.NeueAnschrift\" in place of \"=8\".\n",
       {Db()},
       true,
       false,
       Run("Umstellung_Auf_Neue_Anschrift"),
       nullptr},
      {"war-colours",
       "print zero values black in the WAR forms",
       "In the .war forms the colour formulas that print a zero quantity, unit price or total\n"
       "price white become plain black, \"=RGB (0,0,0)\".\n",
       {Db()},
       true,
       false,
       Run("Korrektur_Wart_Farbe"),
       nullptr},
      {"ll12",
       "convert the contents of the forms for List & Label 12",
       "In the .bel, .war and .mah forms: bFormatFromVar=TRUE becomes FALSE and sixteen plain\n"
       "fields become RTF contents; in dunning forms Bilder.BildFS becomes Bilder.Bild.\n",
       {Db()},
       true,
       false,
       Run("Umstellung_auf_LL12"),
       nullptr},
      {"ll24",
       "switch all forms over to List & Label 24",
       "Makes every form writable, then rewrites the .bel, .war, .mah, .bst and .mon forms of an\n"
       "older file version into the List & Label 15 layout (frames off, header, sum and price\n"
       "borders on) and re-saves every other form through the List & Label control.\n",
       {Db()},
       true,
       false,
       Run("Umstellung_auf_LL24"),
       nullptr},
      {"dunning",
       "widen the empty-line field of the dunning forms and let it wrap",
       "In every form of TYPE (list forms excepted) the object of POSITION.LEERZEILE1 gets line\n"
       "wrapping and the width 130000 instead of 30000.\n",
       {Db(), Text("TYPE")},
       true,
       false,
       Run("Umstellung_Mahnformular"),
       nullptr},
      {"page-numbers",
       "show \"Seite N von M\" in the forms of one type",
       "In every form of TYPE the page-number formula gets the page count, and the page-number\n"
       "object moves 9000 units to the left and grows 9000 wider so that the text fits. Since a\n"
       "second run would move and widen the object again, it refuses (exit status 1, nothing\n"
       "changed) when a form of TYPE already shows the page count or the settings file records\n"
       "that TYPE was switched over (section llupdate, key PageNumbers.TYPE); --force runs it\n"
       "anyway. A TYPE without forms is refused (exit status 1) and nothing is recorded.\n"
       "The exact operation Umstellung_Auf_Seite_Von_Bis has no such guard.\n",
       {Db(), Text("TYPE")},
       true,
       true,
       [](C& c, const Args& a, const Options& o) {
         Variant result = c.Umstellung_Auf_Seite_Von_Bis(a[0], a[1]);
         if (result == Variant(true)) RecordPageNumbers(a, o);
         return One("Umstellung_Auf_Seite_Von_Bis", result);
       },
       nullptr,
       PageNumbersGuard},
      {"unprotect",
       "make files writable",
       "Removes the read-only attribute of each PATH: of a file, or of every file directly in a\n"
       "directory.\n",
       {{"PATH...", Role::kPaths}},
       true,
       false,
       [](C& c, const Args& a, const Options&) {
         Results results;
         for (const std::string& path : a) {
           std::error_code ec;
           if (std::filesystem::is_directory(platform::ResolvePath(path), ec)) {
             results.push_back(
                 {"SchreibschutzEntfernenAlleDateien", c.SchreibschutzEntfernenAlleDateien(path)});
           } else {
             results.push_back({"SchreibschutzEntfernen", c.SchreibschutzEntfernen(path)});
           }
         }
         return results;
       },
       nullptr},
      {"list",
       "show the forms of a database with their versions",
       "Lists the forms of DBPATH/BerichteLL by name with their Version, Referenzbeleg and\n"
       "FileVersion: with TYPE every form of that type, without it every form of the twelve\n"
       "types (a value a form does not carry is empty). With --json one object per form.\n",
       {Db(), {"TYPE", Role::kText, true}},
       false,
       false,
       nullptr,
       RunList},
      {"setting",
       "show or change a value of the settings file",
       "Prints the value stored under SECTION and KEY in the settings file, or stores VALUE\n"
       "there. The file is the database's with -d DBPATH (DBPATH/llupdate-settings.sqlite),\n"
       "else --settings FILE or $LLUPDATE_SETTINGS, else llupdate-settings.sqlite in the current\n"
       "directory. A missing file or value is said so (exit status 1); reading never creates\n"
       "the file. The conversion driver keeps its last completed step under CheckReportLL\n"
       "LetzterWert, and the database the file belongs to under llupdate Database.\n",
       {Text("SECTION"), Text("KEY"), {"VALUE", Role::kText, true}},
       false,
       true,
       nullptr,
       RunSetting},
      {"status",
       "show where a database stands",
       "Shows the step the conversion driver recorded for DBPATH and the steps still to run,\n"
       "the files that an interrupted run left in the form directory, the forms per type with\n"
       "their file versions, and whether a run holds the database now. Reads only; with --json\n"
       "one record.\n",
       {Db()},
       false,
       true,
       nullptr,
       RunStatus},
      {"completion",
       "print a shell completion script",
       "Prints the completion script for SHELL (bash or zsh). For bash:\n"
       "  source <(llupdate completion bash)\n"
       "or save it as /etc/bash_completion.d/llupdate. For zsh, save it as _llupdate in a\n"
       "directory of $fpath.\n",
       {Text("SHELL")},
       false,
       false,
       nullptr,
       RunCompletion},
      {"recover",
       "find and repair what an interrupted run left in the form directory",
       "Looks in DBPATH/BerichteLL for an \"alt_\" backup whose form is missing (--apply restores\n"
       "the form from it), an \"alt_\" backup beside its complete form (--apply removes the\n"
       "backup), a leftover \"xx_\" temporary file (--apply removes it) and the program's own\n"
       "partial files \"NAME.llupdate-....tmp\" (--apply removes them). A temporary file whose "
       "form\n"
       "and backup are both missing may be incomplete: it is reported and kept, never made a\n"
       "form. Without --apply it only reports, one line each, what --apply would do. With --apply\n"
       "it holds the database like any writer (exit status 5 when another run holds it). The\n"
       "next run that writes does the same repairs by itself after a crash. Exit status 0 when\n"
       "nothing needs doing (or --apply did everything), 1 otherwise.\n",
       {Db()},
       false,
       false,
       nullptr,
       RunRecover},
  };
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = [] {
    std::vector<Command> all = FriendlyCommands();
    for (Command& c : ExactOperations()) all.push_back(std::move(c));
    return all;
  }();
  return commands;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& c : Commands()) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

std::string Synopsis(const Command& command) {
  std::string text = command.name;
  for (const Param& p : command.params) text += p.optional ? " [" + p.name + "]" : " " + p.name;
  return text;
}

std::vector<std::string> Suggestions(const std::string& typed) {
  const std::string t = text::FoldCase(typed);
  auto distance = [](const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
      size_t diagonal = row[0];
      row[0] = i;
      for (size_t j = 1; j <= b.size(); ++j) {
        size_t above = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
        diagonal = above;
      }
    }
    return row[b.size()];
  };
  std::vector<std::string> best;
  size_t best_distance = 3;
  for (const Command& c : Commands()) {
    std::string name = text::FoldCase(c.name);
    size_t d = name.rfind(t, 0) == 0 && !t.empty() ? 1 : distance(t, name);
    if (d < best_distance) {
      best = {c.name};
      best_distance = d;
    } else if (d == best_distance) {
      best.push_back(c.name);
    }
  }
  return best;
}

bool ArgumentsFit(const Command& command, size_t count) {
  size_t required = 0, allowed = 0;
  bool unbounded = false;
  for (const Param& p : command.params) {
    if (!p.optional) ++required;
    ++allowed;
    if (p.role == Role::kPaths) unbounded = true;
  }
  return count >= required && (unbounded || count <= allowed);
}

}  // namespace llupdate::cli
