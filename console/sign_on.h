// The sign-on sequences the operator starts: polled mode (main-menu key 4 and
// the X key's port change) and every scan run.
#ifndef TOV_CONSOLE_SIGN_ON_H
#define TOV_CONSOLE_SIGN_ON_H

#include "tovdrv.h"

namespace tov {

// The start of every sign-on: "Signing on at COM%d", SignOn, the port
// handle, "Performing system calibration...". False after the failure
// message and its key.
bool SignOnWithMessages(DeviceRecord* rec);

// The sign-on sequence of polled mode for the current device: messages,
// SignOn, GetComHandle, SysCal, GetVer, RemoteAvg, SetChanCode, FilterDelay,
// and the device's signedOn flag. False after a failure message and its key.
bool SignOnForPolledMode();

}  // namespace tov

#endif
