#include "run_setup.h"

#include <cerrno>
#include <cstring>

#include "settings_file.h"
#include "tovscan.h"

namespace k73log {

namespace {

// The first line of a csv that is not a gap mark, without its line end.
std::string csvColumnRowOf(const std::string& path) {
  std::FILE* in = std::fopen(path.c_str(), "r");
  if (!in) return "";
  std::string line;
  int c = 0;
  while ((c = std::fgetc(in)) != EOF) {
    if (c == '\n') {
      if (!line.empty() && line[0] != '#') break;
      line.clear();
      continue;
    }
    if (c != '\r') line += static_cast<char>(c);
  }
  std::fclose(in);
  return line.empty() || line[0] == '#' ? "" : line;
}

void applyConverterOptions(const LogOptions& opts, DeviceRecord* rec) {
  if (opts.baudIndex != kUnset) rec->baudIndex = static_cast<int16_t>(opts.baudIndex);
  if (opts.bytesPerConversion != kUnset)
    rec->bytesPerConversion = static_cast<int16_t>(opts.bytesPerConversion);
  if (opts.bipolar != kUnset) rec->bipolar = static_cast<int16_t>(opts.bipolar);
  if (opts.gain != kUnset) rec->gain = static_cast<int16_t>(opts.gain);
  if (opts.filter != kUnset) rec->filter = static_cast<int16_t>(opts.filter);
  if (opts.rate > 0) rec->sampleRate = static_cast<float>(opts.rate);
  if (opts.average != kUnset) rec->remoteAvg = static_cast<uint32_t>(opts.average);
}

}  // namespace

bool buildRunSetup(const LogOptions& opts, RunSetup* setup, std::string* error) {
  DeviceRecord* rec = &setup->rec;
  std::memset(rec, 0, sizeof *rec);
  int32_t localAveraging = 1;  // the console's own count; no use here
  const bool fromFile = !opts.settingsFile.empty();
  if (fromFile) {
    if (!tov::LoadConfiguration(rec, localAveraging, opts.settingsFile.c_str())) {
      *error =
          "--settings takes a readable tovset.cfg file; cannot read \"" + opts.settingsFile + "\"";
      return false;
    }
  } else {
    tov::SetConfigurationDefaults(rec, localAveraging);
  }
  rec->deviceIndex = static_cast<int16_t>(opts.comNumber - 1);
  rec->counterPreset = -1;  // no preset, as the console keeps it
  if (rec->inQueueSize < 11) rec->inQueueSize = 1024;
  applyConverterOptions(opts, rec);

  // Without --channels a settings file's scan stands; otherwise the options'.
  if (opts.scanType != kUnset)
    rec->scanType = static_cast<int16_t>(opts.scanType);
  else if (!fromFile)
    rec->scanType = 1;
  if (opts.channelsGiven || !fromFile) {
    setup->channels = opts.channels;
    toScanTable(setup->channels, rec->scanTable);
  } else if (rec->scanType == 0) {
    setup->channels = {{rec->channel, rec->subChannel, rec->subChannel}};
  } else {
    setup->channels = fromScanTable(rec->scanTable);
  }

  const int points = pointCount(setup->channels);
  if (rec->scanType == 0) {
    if (points != 1) {
      *error = "--channels takes one channel and one code for --type single";
      return false;
    }
    rec->channel = static_cast<int16_t>(setup->channels[0].channel);
    rec->subChannel = static_cast<int16_t>(setup->channels[0].firstCode);
  }
  const int bits = rec->bytesPerConversion == 2 ? 16 : 24;
  const int fit = tovScanPointsThatFit(rec->scanType, bits);
  if (points < 1 || points > fit) {
    *error = "--channels: " + std::to_string(points) + " points do not fit one scan, at most " +
             std::to_string(fit) + " points at " + std::to_string(bits) + " bits";
    return false;
  }
  rec->pointsPerScan = static_cast<int16_t>(rec->scanType == 0 ? 1 : points);

  setup->shortestInterval = opts.interval <= 0 && !fromFile;
  if (opts.interval > 0) rec->scanInterval = opts.interval;
  return true;
}

bool openOutput(const LogOptions& opts, const std::string& csvColumnRow, OutputFile* out,
                std::string* error) {
  if (opts.output == "-") {
    out->file = stdout;
    out->standardOutput = true;
    out->empty = true;
    return true;
  }
  // Text mode, as the console writes its data file.
  std::FILE* file = std::fopen(opts.output.c_str(), "a");
  if (!file) {
    *error =
        "-o takes a file that can be appended to; \"" + opts.output + "\": " + std::strerror(errno);
    return false;
  }
  std::fseek(file, 0, SEEK_END);
  out->empty = std::ftell(file) == 0;
  if (opts.format == Format::Csv && !out->empty) {
    const std::string existing = csvColumnRowOf(opts.output);
    if (existing != csvColumnRow) {
      std::fclose(file);
      *error = "-o \"" + opts.output + "\" has the columns \"" + existing +
               "\"; this run's are \"" + csvColumnRow + "\" (use another file)";
      return false;
    }
  }
  out->file = file;
  return true;
}

}  // namespace k73log
