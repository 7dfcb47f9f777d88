#include "commands.h"

namespace llupdate::cli {

const std::vector<Operation>& Operations() {
  using C = clsReportLLUpdate;
  using I = Invocation;
  static const std::vector<Operation> operations = {
      {"Pruefe_Druckkataloge",
       {"EXEDIR", "USER"},
       [](C& c, const I& i) { return Variant(c.Pruefe_Druckkataloge(i.args[0], i.args[1])); }},
      {"Kopiere_Neue_Formulare_LL",
       {"DBPATH", "EXEDIR", "USER"},
       [](C& c, const I& i) {
         return Variant(c.Kopiere_Neue_Formulare_LL(i.args[0], i.args[1], i.args[2]));
       }},
      {"Suche_ErsetzeProjektdatei",
       {"FILENAME", "DBPATH", "SELECTOR", "SEARCH", "REPLACE"},
       [](C& c, const I& i) {
         return Variant(
             c.Suche_ErsetzeProjektdatei(i.args[0], i.args[1], i.args[2], i.args[3], i.args[4]));
       }},
      {"Suche_ErsetzeProjektdatei_LL12",
       {"FILENAME", "DBPATH"},
       [](C& c, const I& i) {
         return Variant(c.Suche_ErsetzeProjektdatei_LL12(i.args[0], i.args[1]));
       }},
      {"Suche_ErsetzeProjektdatei_LL15",
       {"FILENAME", "DBPATH"},
       [](C& c, const I& i) {
         return Variant(c.Suche_ErsetzeProjektdatei_LL15(i.args[0], i.args[1]));
       }},
      {"Suche_ErsetzeProjektdatei_Seite",
       {"FILENAME", "DBPATH", "SELECTOR", "SEARCH", "REPLACE", "PAGE_SELECTOR", "TYPE"},
       [](C& c, const I& i) {
         return Variant(c.Suche_ErsetzeProjektdatei_Seite(
             i.args[0], i.args[1], i.args[2], i.args[3], i.args[4], i.args[5], i.args[6]));
       }},
      {"Suche_ErsetzeProjektdatei_Mahnung",
       {"FILENAME", "DBPATH"},
       [](C& c, const I& i) {
         return Variant(c.Suche_ErsetzeProjektdatei_Mahnung(i.args[0], i.args[1]));
       }},
      {"Pruefe_Konvertiere_Formulare",
       {"DBPATH"},
       [](C& c, const I& i) {
         std::shared_ptr<Object> connection = std::make_shared<SettingsConnection>(i.settings_file);
         return Variant(c.Pruefe_Konvertiere_Formulare(i.args[0], connection));
       }},
      {"Umstellung_Auf_Neue_Anschrift",
       {"DBPATH"},
       [](C& c, const I& i) { return Variant(c.Umstellung_Auf_Neue_Anschrift(i.args[0])); }},
      {"Korrektur_Wart_Farbe",
       {"DBPATH"},
       [](C& c, const I& i) { return Variant(c.Korrektur_Wart_Farbe(i.args[0])); }},
      {"Umstellung_auf_LL12",
       {"DBPATH"},
       [](C& c, const I& i) { return Variant(c.Umstellung_auf_LL12(i.args[0])); }},
      {"Umstellung_auf_LL24",
       {"DBPATH"},
       [](C& c, const I& i) { return Variant(c.Umstellung_auf_LL24(i.args[0])); }},
      {"Suche_ErsetzeProjektdatei_WarFarbe",
       {"DBPATH", "TYPE"},
       [](C& c, const I& i) {
         return Variant(c.Suche_ErsetzeProjektdatei_WarFarbe(i.args[0], i.args[1]));
       }},
      {"Umstellung_Auf_Seite_Von_Bis",
       {"DBPATH", "TYPE"},
       [](C& c, const I& i) {
         return Variant(c.Umstellung_Auf_Seite_Von_Bis(i.args[0], i.args[1]));
       }},
      {"Umstellung_Mahnformular",
       {"DBPATH", "TYPE"},
       [](C& c, const I& i) { return Variant(c.Umstellung_Mahnformular(i.args[0], i.args[1])); }},
      {"SchreibschutzEntfernenAlleDateien",
       {"DIR"},
       [](C& c, const I& i) { return c.SchreibschutzEntfernenAlleDateien(i.args[0]); }},
      {"SchreibschutzEntfernen",
       {"FILE"},
       [](C& c, const I& i) { return Variant(c.SchreibschutzEntfernen(i.args[0])); }},
  };
  return operations;
}

const Operation* FindOperation(const std::string& name) {
  for (const Operation& op : Operations()) {
    if (op.name == name) return &op;
  }
  return nullptr;
}

}  // namespace llupdate::cli
