// The highest IRQL a client driver may send each internal USB request at, as
// the USB stack documents it, and the check the port makes on arrival (the
// dispatch runs in the sender's context, so its IRQL is the sender's).
//
// Transfers (isochronous, interrupt, control with class, vendor or descriptor
// requests), ABORT_PIPE and GET_CURRENT_FRAME_NUMBER may come at
// DISPATCH_LEVEL, which lets completion routines resubmit. Selecting a
// configuration or an interface, resetting a pipe or clearing its stall wait
// for the bus inside the stack, as do the port requests (status, reset,
// cycle): those are passive-level only.
#pragma once

#include <usb.h>
#include <usbioctl.h>
#include <wdm.h>

namespace tqm::usb {

// The request's name and its highest IRQL, from the IOCTL and, for a URB,
// its function. An unknown URB function keeps the IOCTL's own limit.
struct RequestIrql {
  const char* name;
  KIRQL highest;
};
RequestIrql RequestIrqlOf(ULONG ioControlCode, const URB* urb);

// Reports IrqlTooHigh when the internal device control request at `stack`
// arrived above its highest IRQL.
void CheckRequestIrql(PIO_STACK_LOCATION stack);

}  // namespace tqm::usb
