// What an 80 x 25 terminal shows after a series of writes: the cells and the
// cursor. The POSIX console keeps one to draw the screen again after a
// suspend or a resize; the tests' screen model reads its screens from one.
#ifndef TOV_PLATFORM_CELL_GRID_H
#define TOV_PLATFORM_CELL_GRID_H

#include <cstddef>
#include <string>

namespace tov::con {

class CellGrid {
 public:
  static constexpr int kColumns = 80;
  static constexpr int kRows = 25;

  CellGrid() { clear(); }

  void clear();  // every cell blank; the cursor stays put
  // Clamped to the grid.
  void moveCursor(int column, int row);
  // Text at the cursor, as a terminal prints it: a full last column wraps at
  // the next character, a line end on the last row scrolls, '\r', '\b' and
  // tabs move the cursor, a bell shows nothing.
  void write(const char* text, size_t length);

  char cell(int column, int row) const { return cells_[row][column]; }
  std::string row(int row) const { return std::string(cells_[row], kColumns); }
  int column() const { return column_; }
  int cursorRow() const { return row_; }

 private:
  void putChar(char c);
  void newLine();

  char cells_[kRows][kColumns];
  int column_ = 0;
  int row_ = 0;
  bool pendingWrap_ = false;  // the last column was written; wrap on the next character
};

}  // namespace tov::con

#endif
