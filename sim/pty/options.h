// k73sim's command line.
#ifndef K73_SIM_PTY_OPTIONS_H
#define K73_SIM_PTY_OPTIONS_H

#include <string>

#include "converter.h"

namespace k73 {

struct Options {
  std::string port = "COM1";
  std::string reportPath;
  std::string scanRecordPath;
  bool unpaced = false;
  bool quiet = false;
  bool help = false;
  Model model = Model::demo();
};

// Parses argv into *opts. On a bad argument returns false with a message.
bool parseOptions(int argc, char** argv, Options* opts, std::string* error);
const char* usageText();

}  // namespace k73

#endif
