// The console's data-file line, "%9.3lf  " per value, with the run's
// settings as '#' comment lines above it, which numpy.loadtxt and gnuplot
// skip.
#include <cstdio>

#include "log_writer.h"

namespace k73log {

namespace {

class DatWriter : public LogWriter {
 public:
  using LogWriter::LogWriter;

  void begin(const RunInfo& info, bool header, bool) override {
    if (!header) return;
    char text[128];
    std::string lines = "# k73log " + info.version + "\n";
    lines += "# start " + isoUtc(info.startUtcMs) + "\n";
    lines += "# port " + info.port + "\n";
    std::snprintf(text, sizeof text,
                  "# baud %d\n# bits %d\n# polarity %s\n# gain %d\n# filter %d Hz\n"
                  "# rate %.3f Hz\n# averaging %u\n",
                  info.baud, info.bits, info.bipolar ? "bipolar" : "unipolar", info.gain,
                  info.filterHz, info.rateHz, info.averaging);
    lines += text;
    lines += "# scan " + info.scanType + "\n";
    std::snprintf(text, sizeof text, "# interval %.6f s\n", info.intervalS);
    lines += text;
    lines += "# columns";
    for (const std::string& column : info.columns) lines += " " + column;
    writeLine(lines + "\n");
  }

  void scan(const Scan& scan) override {
    std::string line;
    appendValues(&line, scan.millivolts, "%9.3lf  ");  // the console's data-file field
    writeLine(line + "\n");
  }
};

}  // namespace

std::unique_ptr<LogWriter> makeDatWriter(std::FILE* out) {
  return std::make_unique<DatWriter>(out);
}

}  // namespace k73log
