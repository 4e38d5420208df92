#include "log_writer.h"

namespace k73log {

std::unique_ptr<LogWriter> makeDatWriter(std::FILE* out);
std::unique_ptr<LogWriter> makeCsvWriter(std::FILE* out);
std::unique_ptr<LogWriter> makeJsonlWriter(std::FILE* out);

void LogWriter::writeLine(const std::string& line) {
  const bool written = std::fwrite(line.data(), 1, line.size(), out_) == line.size();
  ok_ = ok_ && written && std::fflush(out_) == 0;
}

std::unique_ptr<LogWriter> makeLogWriter(Format format, std::FILE* out) {
  switch (format) {
    case Format::Csv:
      return makeCsvWriter(out);
    case Format::Jsonl:
      return makeJsonlWriter(out);
    default:
      return makeDatWriter(out);
  }
}

std::string csvColumnRow(const std::vector<std::string>& valueColumns) {
  std::string row = "time_utc,t_s";
  for (const std::string& column : valueColumns) row += "," + column;
  return row;
}

void LogWriter::gap(const GapMark& gap) {
  writeLine("# gap from " + isoUtc(gap.fromUtcMs) + " to " + isoUtc(gap.toUtcMs) + ", " +
            std::to_string(gap.scansMissing) + " scans missing\n");
}

void LogWriter::appendValues(std::string* line, const std::vector<double>& values,
                             const char* fieldFormat) {
  char field[64];
  for (double mv : values) {
    std::snprintf(field, sizeof field, fieldFormat, mv);
    *line += field;
  }
}

}  // namespace k73log
