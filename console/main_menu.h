// The program's spine: start-up, the main menu and the exit with the offer to
// save the settings.
#ifndef TOV_CONSOLE_MAIN_MENU_H
#define TOV_CONSOLE_MAIN_MENU_H

#include "tovdrv.h"

namespace tov {

// Start-up up to the main menu: notice, device records, console, driver,
// settings file. Returns 0 when the menu may start, else the exit status.
// driverFile overrides the platform's driver file name (tests).
int StartUp(const char* driverFile = nullptr);

// The main menu loop; returns the program's exit status after Esc.
int RunMainMenu();

void DrawMainMenu();
// Acts on one main-menu key; false when it was Esc and the program ends.
bool RunMainMenuKey(int key);
void EnterInputBufferSize();

void ExitProgram();

// The whole program: StartUp, then RunMainMenu.
int RunProgram();

}  // namespace tov

#endif
