// Private header of the driver core: the device extensions and the frame's
// entry points. One section per owning file.
#pragma once

#include "driver/kernel.h"

// ---- device extensions ---------------------------------------------------------
//
// Every device object of the driver starts its extension with the same two
// words: the child flag (bit 0 set on the child device) and the open count that
// create and close keep. The function device's FdoExtension continues with the
// frame's state; it grows with the Plug and Play frame.
struct FdoExtension {
  ULONG childFlag;
  volatile LONG openCount;
};

constexpr ULONG kChildFlag = 1;

// ---- driver_entry.cpp ----------------------------------------------------------
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
