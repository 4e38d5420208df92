// tovcon: the operator's console for the Model K73 converter.
#include "main_menu.h"

int main() {
  return tov::RunProgram();
}
