// One column row, then one row per scan; the only other lines are '#' gap
// marks, so pandas.read_csv(path, comment="#") reads the file unchanged.
#include <cstdio>

#include "log_writer.h"

namespace k73log {

namespace {

class CsvWriter : public LogWriter {
 public:
  using LogWriter::LogWriter;

  void begin(const RunInfo& info, bool, bool fileEmpty) override {
    intervalS_ = info.intervalS;
    if (fileEmpty) writeLine(csvColumnRow(info.columns) + "\n");
  }

  void scan(const Scan& scan) override {
    char field[64];
    std::snprintf(field, sizeof field, ",%.6f", static_cast<double>(scan.index) * intervalS_);
    std::string line = isoUtc(scan.utcMs) + field;
    appendValues(&line, scan.millivolts, ",%.3f");
    writeLine(line + "\n");
  }
};

}  // namespace

std::unique_ptr<LogWriter> makeCsvWriter(std::FILE* out) {
  return std::make_unique<CsvWriter>(out);
}

}  // namespace k73log
