// The simulated kernel's ntddk.h: everything the driver uses is in wdm.h.
#pragma once
#include <wdm.h>
