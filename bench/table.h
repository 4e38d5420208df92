// The one results table: each figure beside the limit it is measured
// against, their ratio, the target and whether it was met.
#ifndef TOV_BENCH_TABLE_H
#define TOV_BENCH_TABLE_H

#include <string>
#include <vector>

namespace bench {

enum class Verdict { Pass, Fail, Info, NotMeasured };

struct Row {
  std::string figure;    // what was measured, and how
  std::string measured;  // the figure with its unit
  std::string limit;     // what it is compared with
  std::string ratio;     // measured / limit, or empty
  std::string target;    // the goal, or empty for an informative row
  Verdict verdict = Verdict::Info;
  bool timed = true;  // depends on the CPU time the run got (all but memory)
};

class Table {
 public:
  void add(Row row) { rows_.push_back(std::move(row)); }
  void note(const std::string& text) { notes_.push_back(text); }
  // Marks every timed figure as taken on a loaded machine.
  void markLoaded();
  // A Markdown table (readable as plain text too), then the notes.
  std::string render() const;
  int failures() const;
  int unmeasured() const;

 private:
  std::vector<Row> rows_;
  std::vector<std::string> notes_;
};

// Number formatting for the table.
std::string fixed(double value, int decimals);
std::string ratioText(double measured, double limit);

}  // namespace bench

#endif
