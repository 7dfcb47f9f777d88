// The LL12 contents, dunning-form and page-number conversions: one form, or all forms of a type.
#include "component/internals.h"
#include "component/job_frame.h"
#include "component/writer_scope.h"
#include "host/objects.h"
#include "llupdate/report_ll_update.h"
#include "rewrites/form_rules.h"
#include "rewrites/rewrite_pattern.h"
#include "text/text.h"

namespace llupdate {

using component::Internals;

namespace {

// A list form, as the dunning-form rewrite sees it: the name begins with "LST" in any case.
bool IsListFormIgnoringCase(const std::string& name) {
  return text::UpperAscii(std::string(text::FirstCharacters(name, 3))) == "LST";
}

const char kPageMarker[] = "Identifier=F_Seite";
const char kPageNumberOnly[] = R"(=@F_Seitennr;"Seite " + fstr$(page(),"####"))";

}  // namespace

bool clsReportLLUpdate::Suche_ErsetzeProjektdatei_LL12(const std::string& pFilename,
                                                       const std::string& pDBPath) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    // A dunning form by its last three characters in any case; a list form by its first three,
    // in capitals exactly.
    const bool dunning_form =
        text::UpperAscii(std::string(text::LastCharacters(pFilename, 3))) == "MAH";
    const bool list_form = text::FirstCharacters(pFilename, 3) == "LST";
    host::ErrorText error_text = host::ErrorText::General(component::kAddressTitle);
    return host::Armed(Internals::Reporter(*this), error_text, false, [&] {
      files::FileContext ctx = Internals::Files(*this);
      return rewrites::RewriteForm(
          ctx, rewrites::FilesOfForm(pFilename, pDBPath), error_text, [&](std::string& line) {
            return rewrites::RewriteLL12Line(line, dunning_form, list_form);
          });
    });
  });
}

bool clsReportLLUpdate::Umstellung_auf_LL12(const std::string& pDBPath) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    return component::RunFormJob(
        *this, "Umstellung_auf_LL12", pDBPath, host::ErrorText::General("Umstellung_Auf_LL12"),
        {"bel", "war", "MAH"},
        [&](const std::string& name) { return Suche_ErsetzeProjektdatei_LL12(name, pDBPath); });
  });
}

bool clsReportLLUpdate::Suche_ErsetzeProjektdatei_Mahnung(const std::string& pFilename,
                                                          const std::string& pDBPath) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    host::ErrorText error_text =
        host::ErrorText::Custom("Die Umstellung Mahnformular konnte bei Formular " + pFilename +
                                " nicht vorgenommen werden.");
    return host::Armed(Internals::Reporter(*this), error_text, false, [&] {
      if (IsListFormIgnoringCase(pFilename)) return true;
      files::FileContext ctx = Internals::Files(*this);
      return rewrites::RewriteFormWith(
          ctx, rewrites::FilesOfForm(pFilename, pDBPath), error_text,
          [&](text::TextReader& form, text::TextWriter& temporary) {
            // Whether a line changes depends on the lines below it: all lines are held first.
            std::shared_ptr<DynArray> lines = host::NewDynArray();
            lines->Dimension(0, 0, 0, 0);
            std::string line;
            for (int32_t row = 0; form.ReadLine(line); ++row) {
              if (row > 0) lines->AddRows(1);
              lines->SetValue(row, 0, line);
            }
            bool found = rewrites::ScanDunningLines(*lines);
            if (found) {
              for (int32_t row = 0, n = lines->Count(1); row < n; ++row) {
                temporary.WriteLine(lines->GetValue(row, 0).ToString());
              }
            }
            return found;
          });
    });
  });
}

bool clsReportLLUpdate::Umstellung_Mahnformular(const std::string& pDBPath,
                                                const std::string& pExtension) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    return component::RunFormJob(
        *this, "Umstellung_Mahnformular", pDBPath,
        host::ErrorText::General(component::kAddressTitle), {pExtension},
        [&](const std::string& name) { return Suche_ErsetzeProjektdatei_Mahnung(name, pDBPath); },
        [](const std::string& raw_name) { return !IsListFormIgnoringCase(raw_name); });
  });
}

bool clsReportLLUpdate::Suche_ErsetzeProjektdatei_Seite(
    const std::string& pFilename, const std::string& pDBPath, const std::string& pSucheNach,
    const std::string& pSuche, const std::string& pErsetze, const std::string& pSucheNachSeite,
    const std::string&) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    host::ErrorText error_text =
        host::ErrorText::Custom("Die Umstellung auf Seite von / bis konnte bei Formular " +
                                pFilename + " nicht vorgenommen werden.");
    const rewrites::PageTexts texts{pSucheNach, pSuche, pErsetze, pSucheNachSeite};
    return host::Armed(Internals::Reporter(*this), error_text, false, [&] {
      files::FileContext ctx = Internals::Files(*this);
      return rewrites::RewriteFormWith(ctx, rewrites::FilesOfForm(pFilename, pDBPath), error_text,
                                       [&](text::TextReader& form, text::TextWriter& temporary) {
                                         return rewrites::CopyWithPageWindow(form, temporary,
                                                                             texts);
                                       });
    });
  });
}

bool clsReportLLUpdate::Umstellung_Auf_Seite_Von_Bis(const std::string& pDBPath,
                                                     const std::string& pExtension) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    return component::RunFormJob(*this, "Umstellung_Auf_Seite_Von_Bis", pDBPath,
                                 host::ErrorText::General(component::kAddressTitle), {pExtension},
                                 [&](const std::string& name) {
                                   return Suche_ErsetzeProjektdatei_Seite(
                                       name, pDBPath, kPageNumberOnly, kPageNumberOnly,
                                       component::kPageNumberWithCount, kPageMarker, pExtension);
                                 });
  });
}

bool clsReportLLUpdate::Suche_ErsetzeProjektdatei_WarFarbe(const std::string& pDBPath,
                                                           const std::string& pExtension) {
  return component::AsWriter(*this, pDBPath, __func__, [&] {
    // The three rewrites per file carry no texts of their own: each copies every line, counts the
    // file as changed and moves the page-number object once.
    const std::string selector, search, replacement;
    return component::RunFormJob(
        *this, "Suche_ErsetzeProjektdatei_WarFarbe", pDBPath,
        host::ErrorText::General("Suche_ErsetzeProjektdatei_WarFarbe"), {pExtension},
        [&](const std::string& name) {
          for (int call = 0; call < 3; ++call) {
            if (!Suche_ErsetzeProjektdatei_Seite(name, pDBPath, selector, search, replacement,
                                                 kPageMarker, pExtension)) {
              return false;
            }
          }
          return true;
        });
  });
}

}  // namespace llupdate
