#include "config_file.h"

#include <fstream>

namespace k73log {

namespace {

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool readConfig(const std::string& path, const std::function<bool(const std::string&)>& takesValue,
                std::vector<std::string>* out, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "--config: cannot read " + path;
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = trimmed(line);
    if (line.empty()) continue;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      *error = where + "a line is \"name = value\", not \"" + line + "\"";
      return false;
    }
    const std::string name = trimmed(line.substr(0, equals));
    const std::string value = trimmed(line.substr(equals + 1));
    if (name.empty() || name == "config") {
      *error = where + "\"" + name + "\" is not an option a file can set";
      return false;
    }
    if (takesValue(name)) {
      out->push_back("--" + name);
      out->push_back(value);
    } else if (value == "true") {
      out->push_back("--" + name);
    } else if (value != "false") {
      *error = where + name + " takes true or false, not \"" + value + "\"";
      return false;
    }
  }
  return true;
}

}  // namespace

bool expandConfigFiles(const std::vector<std::string>& args,
                       const std::function<bool(const std::string&)>& takesValue,
                       std::vector<std::string>* expanded, std::string* error) {
  std::vector<std::string> fromFiles, rest;
  for (size_t i = 1; i < args.size(); ++i) {
    std::string path;
    if (args[i] == "--") {
      rest.insert(rest.end(), args.begin() + static_cast<long>(i), args.end());
      break;
    }
    if (args[i] == "--config") {
      if (i + 1 >= args.size()) {
        *error = "--config needs a value (see k73log --help)";
        return false;
      }
      path = args[++i];
    } else if (args[i].rfind("--config=", 0) == 0) {
      path = args[i].substr(9);
    } else {
      rest.push_back(args[i]);
      continue;
    }
    if (!readConfig(path, takesValue, &fromFiles, error)) return false;
  }
  expanded->clear();
  if (!args.empty()) expanded->push_back(args[0]);
  expanded->insert(expanded->end(), fromFiles.begin(), fromFiles.end());
  expanded->insert(expanded->end(), rest.begin(), rest.end());
  return true;
}

}  // namespace k73log
