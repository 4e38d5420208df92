#include "log_writer.h"

namespace k73log {

std::unique_ptr<LogWriter> makeDatWriter(std::FILE* out);
std::unique_ptr<LogWriter> makeCsvWriter(std::FILE* out);
std::unique_ptr<LogWriter> makeJsonlWriter(std::FILE* out);

void LogWriter::writeLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
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

std::string gapComment(const GapMark& gap) {
  return "# gap from " + isoUtc(gap.fromUtcMs) + " to " + isoUtc(gap.toUtcMs) + ", " +
         std::to_string(gap.scansMissing) + " scans missing\n";
}

}  // namespace k73log
