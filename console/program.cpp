// The program-wide state and the driver's export table.
#include "program.h"

namespace tov {

DriverExports driver{};
ProgramState program{};

}  // namespace tov
