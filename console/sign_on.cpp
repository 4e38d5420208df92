#include "sign_on.h"

#include "program.h"
#include "screen.h"

namespace tov {

bool SignOnWithMessages(DeviceRecord* rec) {
  rec->asleep = 0;
  ClearScreen();
  PrintAt(30, 11, "Signing on at COM%d", rec->deviceIndex + 1);
  if (driver.SignOn(rec) == 0) {
    PrintAt(16, 13, "unable to sign on.  Press any key to continue");
    WaitKey();
    return false;
  }
  driver.GetComHandle(rec, &program.comHandle);
  PrintAt(20, 11, "Performing system calibration...");
  return true;
}

bool SignOnForPolledMode() {
  DeviceRecord* rec = program.record();
  if (!SignOnWithMessages(rec)) return false;
  if (driver.SysCal(rec) == 0) {
    PrintAt(16, 13, "unable to do Syscal.  Press any key to continue");
    WaitKey();
    return false;
  }
  driver.GetVer(rec);
  driver.RemoteAvg(rec);
  driver.SetChanCode(rec);
  driver.FilterDelay(rec);
  program.signedOn[program.currentDevice] = 1;
  return true;
}

}  // namespace tov
