#include "scan_file.h"

#include <cstring>

#include "console_platform.h"
#include "screen.h"

namespace tov {

namespace {

void TrimLineEnd(char* text) {
  size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
    text[--length] = '\0';
  }
}

}  // namespace

FileNameAnswer ReadScanFileName(std::string* name) {
  // Room for the longest name, its line end and the terminator.
  char line[kScanFileNameMax + 2] = "";
  name->clear();
  StopIfInterrupted();
  const bool read = con::readLine(line, sizeof line);
  StopIfInterrupted();
  if (!read) return FileNameAnswer::None;
  const bool wholeLine = std::strchr(line, '\n') != nullptr;
  // A line that filled the buffer without its end went on past it; the line
  // reader has dropped the rest.
  if (!wholeLine && std::strlen(line) == sizeof line - 1) return FileNameAnswer::TooLong;
  TrimLineEnd(line);
  if (line[0] == '\0') return FileNameAnswer::None;
  *name = line;
  return FileNameAnswer::Name;
}

bool ScanDataFile::open(const std::string& name) {
  close();
  file_ = std::fopen(name.c_str(), "at");
  return file_ != nullptr;
}

void ScanDataFile::addValue(double millivolts) {
  char field[64];
  std::snprintf(field, sizeof field, "%9.3lf  ", millivolts);
  line_ += field;
}

bool ScanDataFile::endLine() {
  line_ += '\n';
  bool stored = true;
  if (file_ != nullptr) {
    stored = std::fwrite(line_.data(), 1, line_.size(), file_) == line_.size();
    stored = std::fflush(file_) == 0 && stored;
  }
  line_.clear();
  return stored;
}

void ScanDataFile::close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  line_.clear();
}

}  // namespace tov
