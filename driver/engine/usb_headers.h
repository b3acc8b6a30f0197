// The USB driver interface headers as the engine includes them. The DDK's
// USB headers declare the usbd library without C linkage, so in the image they
// are wrapped here; the simulated stack's headers need no wrapping.
#pragma once

#include "driver/kernel.h"

#if defined(TQM_KERNEL_IMAGE)
extern "C" {
#endif
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#if defined(TQM_KERNEL_IMAGE)
}
#endif
