// Options from a file, for a service: "name = value" per line with the long
// options' names, '#' starting a comment, "name = true" for an option that
// takes no value ("false" leaves it out).
#ifndef K73LOG_CONFIG_FILE_H
#define K73LOG_CONFIG_FILE_H

#include <functional>
#include <string>
#include <vector>

namespace k73log {

// The command line with every --config FILE replaced by the file's options,
// placed first so that the command line's own options win. `takesValue`
// tells the options that take a value; false with "FILE:LINE: reason".
bool expandConfigFiles(const std::vector<std::string>& args,
                       const std::function<bool(const std::string&)>& takesValue,
                       std::vector<std::string>* expanded, std::string* error);

}  // namespace k73log

#endif
