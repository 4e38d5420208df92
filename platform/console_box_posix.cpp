// The message box on a terminal: drawn over the screen, closed by Enter,
// space or Esc; without a terminal, written to standard error.
#include <unistd.h>

#include <string>

#include "console_platform.h"
#include "console_posix.h"

namespace tov::con {

using namespace posix;

namespace {

// Splits text into lines no wider than width, at blanks where possible.
std::string wrapped(const char* text, size_t width) {
  std::string out, line;
  auto flush = [&] {
    out += line + "\n";
    line.clear();
  };
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') {
      flush();
      continue;
    }
    line += *p;
    if (line.size() > width) {
      size_t cut = line.rfind(' ', width);
      std::string rest;
      if (cut == std::string::npos || cut == 0) {
        rest = line.substr(width);
        line.resize(width);
      } else {
        rest = line.substr(cut + 1);
        line.resize(cut);
      }
      flush();
      line = rest;
    }
  }
  if (!line.empty()) flush();
  return out;
}

}  // namespace

void messageBox(const char* caption, const char* text) {
  if (!boxesInTerminal()) {
    std::string plain = std::string(caption) + "\n" + text + "\n";
    writeAll(STDERR_FILENO, plain.data(), plain.size());
    return;
  }
  // Drawn over the screen from the top; the cursor is put back afterwards.
  std::string box =
      "\x1b"
      "7\x1b[2J\x1b[1;1H";
  std::string body = std::string(" ") + caption + "\n" + std::string(78, '-') + "\n";
  body += wrapped(text, 76);
  body += "\n                                   [  OK  ]\n";
  // Each line starts at the left edge and gets a margin of two blanks.
  std::string margin = "  ";
  for (size_t start = 0; start < body.size();) {
    size_t end = body.find('\n', start);
    box += margin + body.substr(start, end - start) + "\r\n";
    start = end + 1;
  }
  writeAll(STDOUT_FILENO, box.data(), box.size());
  for (;;) {
    const int key = getKey(false);
    if (key == 13 || key == ' ' || key == kEsc) break;
    if (key == 0 || key == 224) getKey(false);  // the second code of an extended key
  }
  writeOut(
      "\x1b[2J\x1b"
      "8");
}

}  // namespace tov::con
