#include "table.h"

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

const char* verdictText(Verdict v) {
  switch (v) {
    case Verdict::Pass:
      return "pass";
    case Verdict::Fail:
      return "FAIL";
    case Verdict::Info:
      return "info";
    case Verdict::NotMeasured:
      return "NOT MEASURED";
  }
  return "";
}

std::string pad(const std::string& s, size_t width) {
  return s + std::string(width > s.size() ? width - s.size() : 0, ' ');
}

}  // namespace

std::string fixed(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

std::string ratioText(double measured, double limit) {
  if (limit == 0) return "";
  return fixed(measured / limit, 3);
}

std::string Table::render() const {
  const std::vector<std::string> head = {"Figure", "Measured", "Limit", "Ratio", "Target", ""};
  std::vector<std::vector<std::string>> cells;
  for (const Row& r : rows_) {
    cells.push_back({r.figure, r.measured, r.limit, r.ratio, r.target, verdictText(r.verdict)});
  }
  std::vector<size_t> width(head.size());
  for (size_t c = 0; c < head.size(); ++c) {
    width[c] = head[c].size();
    for (const auto& row : cells) width[c] = std::max(width[c], row[c].size());
  }
  auto line = [&](const std::vector<std::string>& row) {
    std::string out = "|";
    for (size_t c = 0; c < row.size(); ++c) out += " " + pad(row[c], width[c]) + " |";
    return out + "\n";
  };
  std::string out = line(head) + "|";
  for (size_t c = 0; c < head.size(); ++c) out += std::string(width[c] + 2, '-') + "|";
  out += "\n";
  for (const auto& row : cells) out += line(row);
  if (!notes_.empty()) out += "\n";
  for (const std::string& n : notes_) out += "- " + n + "\n";
  return out;
}

void Table::markLoaded() {
  for (Row& r : rows_)
    if (r.timed && r.verdict != Verdict::NotMeasured) r.measured += " (loaded)";
}

int Table::failures() const {
  return int(std::count_if(rows_.begin(), rows_.end(),
                           [](const Row& r) { return r.verdict == Verdict::Fail; }));
}

int Table::unmeasured() const {
  return int(std::count_if(rows_.begin(), rows_.end(),
                           [](const Row& r) { return r.verdict == Verdict::NotMeasured; }));
}

}  // namespace bench
