// The log's formats. Every line is written whole and handed to the system at
// once, so a log is complete up to its last scan however the run ends.
#ifndef K73LOG_LOG_WRITER_H
#define K73LOG_LOG_WRITER_H

#include <cstdio>
#include <memory>
#include <string>

#include "options.h"
#include "run_info.h"
#include "scan_sink.h"

namespace k73log {

class LogWriter {
 public:
  explicit LogWriter(std::FILE* out) : out_(out) {}
  virtual ~LogWriter() = default;
  // The run's header (dat), run object (jsonl) or column row (csv, only
  // into an empty file).
  virtual void begin(const RunInfo& info, bool header, bool fileEmpty) = 0;
  // False once a line could not be written whole (a full disk, a closed pipe).
  bool ok() const { return ok_; }
  virtual void scan(const Scan& scan) = 0;
  // dat and csv: a '#' comment line that their readers skip.
  virtual void gap(const GapMark& gap);

 protected:
  void writeLine(const std::string& line);
  // Each value printed with the field's printf format, appended to the line.
  static void appendValues(std::string* line, const std::vector<double>& values,
                           const char* fieldFormat);
  double intervalS_ = 0;

 private:
  std::FILE* out_;
  bool ok_ = true;
};

std::unique_ptr<LogWriter> makeLogWriter(Format format, std::FILE* out);

// The jsonl run object and scan object, without the line's end; the MQTT
// payloads carry the same objects.
std::string jsonlRunObject(const RunInfo& info);
std::string jsonlScanObject(const Scan& scan, double intervalS,
                            const std::vector<std::string>& columns);

// The csv column row of a run: "time_utc,t_s,ch0.0_mV,...".
std::string csvColumnRow(const std::vector<std::string>& valueColumns);

}  // namespace k73log

#endif
