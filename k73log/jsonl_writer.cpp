// One JSON object per line: the run's settings, then one per scan with the
// csv's fields, and one per gap.
#include <cstdio>

#include "log_writer.h"

namespace k73log {

namespace {

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";  // names and times here never need escapes
}

}  // namespace

std::string jsonlRunObject(const RunInfo& info) {
  char numbers[256];
  std::snprintf(numbers, sizeof numbers,
                "\"baud\": %d, \"bits\": %d, \"polarity\": \"%s\", \"gain\": %d, "
                "\"filter_hz\": %d, \"rate_hz\": %.3f, \"averaging\": %u, ",
                info.baud, info.bits, info.bipolar ? "bipolar" : "unipolar", info.gain,
                info.filterHz, info.rateHz, info.averaging);
  char interval[64];
  std::snprintf(interval, sizeof interval, "\"interval_s\": %.6f, ", info.intervalS);
  std::string columns;
  for (const std::string& column : info.columns)
    columns += (columns.empty() ? "" : ", ") + quoted(column);
  return "{\"run\": {\"version\": " + quoted(info.version) +
         ", \"start_utc\": " + quoted(isoUtc(info.startUtcMs)) +
         ", \"port\": " + quoted(info.port) + ", " + numbers +
         "\"scan_type\": " + quoted(info.scanType) + ", " + interval + "\"columns\": [" + columns +
         "]}}";
}

std::string jsonlScanObject(const Scan& scan, double intervalS,
                            const std::vector<std::string>& columns) {
  char field[96];
  std::snprintf(field, sizeof field, ", \"t_s\": %.6f",
                static_cast<double>(scan.index) * intervalS);
  std::string line = scan.seq > 0 ? "{\"seq\": " + std::to_string(scan.seq) + ", " : "{";
  line += "\"time_utc\": " + quoted(isoUtc(scan.utcMs)) + field;
  for (size_t i = 0; i < scan.millivolts.size(); ++i) {
    const std::string name = i < columns.size() ? columns[i] : "value" + std::to_string(i);
    std::snprintf(field, sizeof field, ", \"%s\": %.3f", name.c_str(), scan.millivolts[i]);
    line += field;
  }
  return line + "}";
}

namespace {

class JsonlWriter : public LogWriter {
 public:
  using LogWriter::LogWriter;

  void begin(const RunInfo& info, bool header, bool) override {
    intervalS_ = info.intervalS;
    columns_ = info.columns;
    if (header) writeLine(jsonlRunObject(info) + "\n");
  }

  void scan(const Scan& scan) override {
    writeLine(jsonlScanObject(scan, intervalS_, columns_) + "\n");
  }

  void gap(const GapMark& gap) override {
    writeLine("{\"gap\": {\"from_utc\": " + quoted(isoUtc(gap.fromUtcMs)) +
              ", \"to_utc\": " + quoted(isoUtc(gap.toUtcMs)) +
              ", \"scans_missing\": " + std::to_string(gap.scansMissing) + "}}\n");
  }

 private:
  std::vector<std::string> columns_;
};

}  // namespace

std::unique_ptr<LogWriter> makeJsonlWriter(std::FILE* out) {
  return std::make_unique<JsonlWriter>(out);
}

}  // namespace k73log
