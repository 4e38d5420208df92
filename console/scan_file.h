// The scan data file: one line of millivolt values per scan, appended.
#ifndef TOV_CONSOLE_SCAN_FILE_H
#define TOV_CONSOLE_SCAN_FILE_H

#include <cstdio>
#include <string>

namespace tov {

// Longest file name the prompt accepts (a terminal line holds at most 4095
// characters); a longer answer is refused whole rather than cut to a name
// the operator did not ask for.
constexpr int kScanFileNameMax = 4094;

enum class FileNameAnswer { None, Name, TooLong };

// Reads the operator's answer to the file-name prompt as one whole line, its
// line end removed. None for an empty line or the end of input.
FileNameAnswer ReadScanFileName(std::string* name);

class ScanDataFile {
 public:
  ScanDataFile() = default;
  ScanDataFile(const ScanDataFile&) = delete;
  ScanDataFile& operator=(const ScanDataFile&) = delete;
  ~ScanDataFile() { close(); }

  // Opens for appending in text mode, so runs add to the end of the file.
  bool open(const std::string& name);
  // One field of the current line: "%9.3lf  ".
  void addValue(double millivolts);
  // Writes the line and hands it to the system at once, so that every scan
  // shown on the screen is in the file however the run ends. False when the
  // system did not take it whole (a full disk), with errno saying why.
  bool endLine();
  void close();

 private:
  std::FILE* file_ = nullptr;
  std::string line_;
};

}  // namespace tov

#endif
