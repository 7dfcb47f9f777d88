#include "ll15/frame_lines.h"

#include "host/error_convention.h"
#include "platform/error.h"
#include "rewrites/rewrite_pattern.h"

namespace llupdate::ll15 {

std::shared_ptr<DynArray> Entferne_Rahmen_LL15(files::FileContext& ctx, const std::string& path,
                                               text::Encoding* encoding) {
  return host::Armed(ctx.reporter, host::ErrorText::General("Entferne_Rahmen_LL15").WithDetails(),
                     std::shared_ptr<DynArray>(), [&] {
                       if (!files::FindFile(ctx.fs, path))
                         throw platform::Error(platform::kFileNotFound, path);
                       return files::TXT_ReplaceAllLines(ctx, path, "Line=True", "Line=False",
                                                         encoding);
                     });
}

int32_t Korrektur_Linien(int32_t start_row, const std::shared_ptr<DynArray>& lines,
                         const std::string& section, int16_t width) {
  try {
    if (start_row == -1) return -1;
    if (!lines) throw platform::Error(platform::kObjectNotSet);
    const std::string indent = "\t\t";
    int32_t section_row = lines->Find(start_row, 0, indent + "  " + section, 0, 1, 0);
    if (section_row == -1) return -1;
    int32_t switch_row = lines->Find(section_row, 0, indent + "   Line=False", 0, 1, 0);
    if (switch_row == -1) return -1;
    std::string text = lines->GetValue(switch_row, 0).ToString();
    rewrites::ReplaceAll(text, "False", "True");
    lines->SetValue(switch_row, 0, text);
    int32_t width_row = lines->Find(switch_row, 0, indent + "   LineWidth=0", 0, 1, 0);
    if (width_row != -1) {
      std::string width_text = lines->GetValue(width_row, 0).ToString();
      rewrites::ReplaceAll(width_text, "0", std::to_string(width));
      lines->SetValue(width_row, 0, width_text);
    } else {
      lines->InsertRows(switch_row + 1, 1);
      lines->SetValue(switch_row + 1, 0, indent + "   LineWidth=300");
    }
    return switch_row;
  } catch (const HostFailure&) {
    throw;
  } catch (...) {
    return 0;
  }
}

}  // namespace llupdate::ll15
