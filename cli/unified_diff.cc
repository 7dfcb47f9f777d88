#include "unified_diff.h"

#include <algorithm>
#include <vector>

namespace llupdate::cli {
namespace {

struct Line {
  std::string text;
  std::string end;  // "\r\n", "\r", "\n" or ""
  bool operator==(const Line& o) const { return text == o.text && end == o.end; }
};

// Lines end at CR LF, CR or LF; the last one may have no end.
std::vector<Line> SplitLines(const std::string& s) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t end = s.find_first_of("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back({s.substr(pos), ""});
      break;
    }
    size_t next = end + 1;
    if (s[end] == '\r' && next < s.size() && s[next] == '\n') ++next;
    lines.push_back({s.substr(pos, end - pos), s.substr(end, next - end)});
    pos = next;
  }
  return lines;
}

enum class Op { kKeep, kRemove, kAdd };

// The shortest edit script (Myers) between a and b, as a sequence of operations.
std::vector<Op> EditScript(const std::vector<Line>& a, const std::vector<Line>& b) {
  const int n = static_cast<int>(a.size()), m = static_cast<int>(b.size());
  const int max = n + m;
  std::vector<int> v(2 * static_cast<size_t>(max) + 2, 0);
  std::vector<std::vector<int>> trace;
  int d_found = 0;
  for (int d = 0; d <= max; ++d) {
    trace.push_back(v);
    bool done = false;
    for (int k = -d; k <= d; k += 2) {
      int x = (k == -d || (k != d && v[static_cast<size_t>(k - 1 + max)] <
                                         v[static_cast<size_t>(k + 1 + max)]))
                  ? v[static_cast<size_t>(k + 1 + max)]
                  : v[static_cast<size_t>(k - 1 + max)] + 1;
      int y = x - k;
      while (x < n && y < m && a[static_cast<size_t>(x)] == b[static_cast<size_t>(y)]) ++x, ++y;
      v[static_cast<size_t>(k + max)] = x;
      if (x >= n && y >= m) {
        done = true;
        break;
      }
    }
    if (done) {
      d_found = d;
      break;
    }
  }
  std::vector<Op> ops;
  int x = n, y = m;
  for (int d = d_found; d > 0; --d) {
    const std::vector<int>& vd = trace[static_cast<size_t>(d)];
    int k = x - y;
    int prev_k = (k == -d || (k != d && vd[static_cast<size_t>(k - 1 + max)] <
                                            vd[static_cast<size_t>(k + 1 + max)]))
                     ? k + 1
                     : k - 1;
    int prev_x = vd[static_cast<size_t>(prev_k + max)];
    int prev_y = prev_x - prev_k;
    while (x > prev_x && y > prev_y) {
      ops.push_back(Op::kKeep);
      --x, --y;
    }
    ops.push_back(x == prev_x ? Op::kAdd : Op::kRemove);
    x = prev_x, y = prev_y;
  }
  while (x > 0 && y > 0) {
    ops.push_back(Op::kKeep);
    --x, --y;
  }
  std::reverse(ops.begin(), ops.end());
  return ops;
}

std::string EndName(const std::string& end) {
  if (end == "\r\n") return " [CR LF]";
  if (end == "\r") return " [CR]";
  if (end == "\n") return " [LF]";
  return " [no line end]";
}

}  // namespace

std::string UnifiedDiff(const std::string& before_text, const std::string& after_text) {
  std::vector<Line> a = SplitLines(before_text), b = SplitLines(after_text);
  // Common lines at both ends are kept out of the edit script, which then only sees the middle.
  size_t prefix = 0;
  while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
  size_t suffix = 0;
  while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
         a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix]) {
    ++suffix;
  }
  if (prefix == a.size() && prefix == b.size()) return "";
  std::vector<Line> mid_a(a.begin() + static_cast<std::ptrdiff_t>(prefix),
                          a.end() - static_cast<std::ptrdiff_t>(suffix));
  std::vector<Line> mid_b(b.begin() + static_cast<std::ptrdiff_t>(prefix),
                          b.end() - static_cast<std::ptrdiff_t>(suffix));
  std::vector<Op> ops(prefix, Op::kKeep);
  for (Op op : EditScript(mid_a, mid_b)) ops.push_back(op);
  ops.insert(ops.end(), suffix, Op::kKeep);

  // Positions of every operation in a and b.
  struct Step {
    Op op;
    size_t ia, ib;
  };
  std::vector<Step> steps;
  for (size_t i = 0, ia = 0, ib = 0; i < ops.size(); ++i) {
    steps.push_back({ops[i], ia, ib});
    if (ops[i] != Op::kAdd) ++ia;
    if (ops[i] != Op::kRemove) ++ib;
  }
  const size_t context = 3;
  std::string out;
  size_t i = 0;
  while (i < steps.size()) {
    if (steps[i].op == Op::kKeep) {
      ++i;
      continue;
    }
    // A hunk: from context lines before the change to context lines after the last change that
    // lies within twice the context.
    size_t start = i >= context ? i - context : 0;
    size_t end = i;
    size_t last_change = i;
    while (end < steps.size()) {
      if (steps[end].op != Op::kKeep) last_change = end;
      if (end - last_change > 2 * context) break;
      ++end;
    }
    end = std::min(steps.size(), last_change + context + 1);
    bool ends_change = false;
    std::string first_end;
    bool have_end = false;
    for (size_t j = start; j < end; ++j) {
      if (steps[j].op == Op::kKeep) continue;
      const Line& line = steps[j].op == Op::kRemove ? a[steps[j].ia] : b[steps[j].ib];
      if (!have_end) {
        first_end = line.end;
        have_end = true;
      } else if (line.end != first_end) {
        ends_change = true;
      }
    }
    size_t count_a = 0, count_b = 0;
    for (size_t j = start; j < end; ++j) {
      if (steps[j].op != Op::kAdd) ++count_a;
      if (steps[j].op != Op::kRemove) ++count_b;
    }
    out += "@@ -" + std::to_string(steps[start].ia + (count_a ? 1 : 0)) + "," +
           std::to_string(count_a) + " +" + std::to_string(steps[start].ib + (count_b ? 1 : 0)) +
           "," + std::to_string(count_b) + " @@\n";
    for (size_t j = start; j < end; ++j) {
      const Step& s = steps[j];
      const Line& line = s.op == Op::kAdd ? b[s.ib] : a[s.ia];
      char mark = s.op == Op::kKeep ? ' ' : (s.op == Op::kRemove ? '-' : '+');
      out += mark + line.text;
      if (s.op != Op::kKeep && ends_change) out += EndName(line.end);
      out += "\n";
    }
    i = end;
  }
  return out;
}

}  // namespace llupdate::cli
