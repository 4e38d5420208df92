#include "cell_grid.h"

#include <cstring>

namespace tov::con {

void CellGrid::clear() {
  std::memset(cells_, ' ', sizeof cells_);
}

void CellGrid::moveCursor(int column, int row) {
  column_ = column < 0 ? 0 : (column >= kColumns ? kColumns - 1 : column);
  row_ = row < 0 ? 0 : (row >= kRows ? kRows - 1 : row);
  pendingWrap_ = false;
}

void CellGrid::newLine() {
  column_ = 0;
  pendingWrap_ = false;
  if (row_ < kRows - 1) {
    ++row_;
    return;
  }
  std::memmove(cells_[0], cells_[1], sizeof(cells_[0]) * (kRows - 1));
  std::memset(cells_[kRows - 1], ' ', kColumns);
}

// Like a terminal: filling the last column leaves the cursor there until the
// next character, which then starts the following row.
void CellGrid::putChar(char c) {
  switch (c) {
    case '\n':
      newLine();
      return;
    case '\r':
      column_ = 0;
      pendingWrap_ = false;
      return;
    case '\b':
      if (column_ > 0 && !pendingWrap_) --column_;
      pendingWrap_ = false;
      return;
    case '\a':
      return;
    case '\t': {
      int stop = (column_ / 8 + 1) * 8;
      while (column_ < stop && column_ < kColumns - 1) cells_[row_][column_++] = ' ';
      return;
    }
    default:
      break;
  }
  if (pendingWrap_) newLine();
  cells_[row_][column_] = c;
  if (column_ == kColumns - 1)
    pendingWrap_ = true;
  else
    ++column_;
}

void CellGrid::write(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) putChar(text[i]);
}

}  // namespace tov::con
