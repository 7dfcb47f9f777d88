#include "text/unified_diff.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace llupdate::text {
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

// Myers' algorithm in linear space: the middle snake of each part splits it in two, so memory
// stays proportional to the lengths however many lines differ. Lines are compared as numbers.
class LinearDiff {
 public:
  LinearDiff(const std::vector<int>& a, const std::vector<int>& b, std::vector<bool>& changed_a,
             std::vector<bool>& changed_b)
      : a_(a),
        b_(b),
        changed_a_(changed_a),
        changed_b_(changed_b),
        offset_(b.size() + 1),
        forward_(a.size() + b.size() + 3),
        backward_(a.size() + b.size() + 3) {}

  void Compare(std::ptrdiff_t x0, std::ptrdiff_t x1, std::ptrdiff_t y0, std::ptrdiff_t y1) {
    while (x0 < x1 && y0 < y1 && a_[U(x0)] == b_[U(y0)]) ++x0, ++y0;
    while (x0 < x1 && y0 < y1 && a_[U(x1 - 1)] == b_[U(y1 - 1)]) --x1, --y1;
    if (x0 == x1) {
      for (std::ptrdiff_t y = y0; y < y1; ++y) changed_b_[U(y)] = true;
    } else if (y0 == y1) {
      for (std::ptrdiff_t x = x0; x < x1; ++x) changed_a_[U(x)] = true;
    } else {
      auto [x, y] = MiddleSnake(x0, x1, y0, y1);
      Compare(x0, x, y0, y);
      Compare(x, x1, y, y1);
    }
  }

 private:
  static size_t U(std::ptrdiff_t i) { return static_cast<size_t>(i); }
  std::ptrdiff_t& F(std::ptrdiff_t k) { return forward_[U(k + offset_)]; }
  std::ptrdiff_t& B(std::ptrdiff_t k) { return backward_[U(k + offset_)]; }

  // Searches from both ends at once, diagonal k = x - y, until the paths meet.
  std::pair<std::ptrdiff_t, std::ptrdiff_t> MiddleSnake(std::ptrdiff_t x0, std::ptrdiff_t x1,
                                                        std::ptrdiff_t y0, std::ptrdiff_t y1) {
    const std::ptrdiff_t dmin = x0 - y1, dmax = x1 - y0;
    const std::ptrdiff_t fmid = x0 - y0, bmid = x1 - y1;
    const bool odd = ((fmid - bmid) & 1) != 0;
    std::ptrdiff_t fmin = fmid, fmax = fmid, bmin = bmid, bmax = bmid;
    F(fmid) = x0;
    B(bmid) = x1;
    for (;;) {
      if (fmin > dmin) {
        F(--fmin - 1) = -1;
      } else {
        ++fmin;
      }
      if (fmax < dmax) {
        F(++fmax + 1) = -1;
      } else {
        --fmax;
      }
      for (std::ptrdiff_t d = fmax; d >= fmin; d -= 2) {
        std::ptrdiff_t low = F(d - 1), high = F(d + 1);
        std::ptrdiff_t x = low < high ? high : low + 1, y = x - d;
        while (x < x1 && y < y1 && a_[U(x)] == b_[U(y)]) ++x, ++y;
        F(d) = x;
        if (odd && bmin <= d && d <= bmax && B(d) <= x) return {x, y};
      }
      if (bmin > dmin) {
        B(--bmin - 1) = PTRDIFF_MAX;
      } else {
        ++bmin;
      }
      if (bmax < dmax) {
        B(++bmax + 1) = PTRDIFF_MAX;
      } else {
        --bmax;
      }
      for (std::ptrdiff_t d = bmax; d >= bmin; d -= 2) {
        std::ptrdiff_t low = B(d - 1), high = B(d + 1);
        std::ptrdiff_t x = low < high ? low : high - 1, y = x - d;
        while (x0 < x && y0 < y && a_[U(x - 1)] == b_[U(y - 1)]) --x, --y;
        B(d) = x;
        if (!odd && fmin <= d && d <= fmax && x <= F(d)) return {x, y};
      }
    }
  }

  const std::vector<int>& a_;
  const std::vector<int>& b_;
  std::vector<bool>& changed_a_;
  std::vector<bool>& changed_b_;
  std::ptrdiff_t offset_;
  std::vector<std::ptrdiff_t> forward_, backward_;
};

// A shortest edit script between a and b. A line that the other side does not have at all is
// changed without a search; the search sees only the lines both sides have.
std::vector<Op> EditScript(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::unordered_map<std::string_view, int> numbers;
  auto number = [&](const std::string& line) {
    return numbers.try_emplace(line, static_cast<int>(numbers.size())).first->second;
  };
  std::vector<int> na, nb;
  for (const std::string& line : a) na.push_back(number(line));
  for (const std::string& line : b) nb.push_back(number(line));
  std::vector<bool> in_a(numbers.size()), in_b(numbers.size());
  for (int n : na) in_a[static_cast<size_t>(n)] = true;
  for (int n : nb) in_b[static_cast<size_t>(n)] = true;

  std::vector<bool> changed_a(a.size()), changed_b(b.size());
  std::vector<int> xa, xb;               // the lines both sides have
  std::vector<size_t> where_a, where_b;  // their places in a and b
  for (size_t i = 0; i < na.size(); ++i) {
    if (!in_b[static_cast<size_t>(na[i])]) {
      changed_a[i] = true;
    } else {
      xa.push_back(na[i]);
      where_a.push_back(i);
    }
  }
  for (size_t i = 0; i < nb.size(); ++i) {
    if (!in_a[static_cast<size_t>(nb[i])]) {
      changed_b[i] = true;
    } else {
      xb.push_back(nb[i]);
      where_b.push_back(i);
    }
  }
  std::vector<bool> sub_a(xa.size()), sub_b(xb.size());
  LinearDiff(xa, xb, sub_a, sub_b)
      .Compare(0, static_cast<std::ptrdiff_t>(xa.size()), 0,
               static_cast<std::ptrdiff_t>(xb.size()));
  for (size_t i = 0; i < sub_a.size(); ++i) {
    if (sub_a[i]) changed_a[where_a[i]] = true;
  }
  for (size_t i = 0; i < sub_b.size(); ++i) {
    if (sub_b[i]) changed_b[where_b[i]] = true;
  }

  // Unchanged lines pair up in order; between them come the removed, then the added lines.
  std::vector<Op> ops;
  size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    while (i < a.size() && changed_a[i]) ops.push_back(Op::kRemove), ++i;
    while (j < b.size() && changed_b[j]) ops.push_back(Op::kAdd), ++j;
    if (i < a.size() && j < b.size()) ops.push_back(Op::kKeep), ++i, ++j;
  }
  return ops;
}

std::string EndName(const std::string& end) {
  if (end == "\r\n") return " [CR LF]";
  if (end == "\r") return " [CR]";
  if (end == "\n") return " [LF]";
  return " [no line end]";
}

}  // namespace

std::string LineEdits(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::string edits;
  for (Op op : EditScript(a, b)) edits += op == Op::kKeep ? '=' : (op == Op::kRemove ? '-' : '+');
  return edits;
}

std::string Diff(const std::string& before_text, const std::string& after_text) {
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
  // The middle lines with their ends, as the edit script compares them.
  std::vector<std::string> mid_a, mid_b;
  for (size_t i = prefix; i < a.size() - suffix; ++i) mid_a.push_back(a[i].text + '\0' + a[i].end);
  for (size_t i = prefix; i < b.size() - suffix; ++i) mid_b.push_back(b[i].text + '\0' + b[i].end);
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

}  // namespace llupdate::text
