// The TQM27's port out of D0: a device whose PDO is set to D1..D3, or whose
// system sleeps (S1..S5), has its port suspended. No frame reaches it (the
// frame work skips it, so no packet moves and its clocks stand), every
// transfer and control request pending when the power went completes with an
// error, and every new request is refused at once until both the device is
// back in D0 and the system is working again.
//
// Statuses, as Windows' hub driver gives them for a port device that is not
// in D0: a new request completes with STATUS_DEVICE_POWERED_OFF before the
// stack looks at it, so its URB status stays what the caller wrote (a driver
// that reads only the URB's is misled, as it would be on Windows). A pending
// transfer ended by the suspend completes with STATUS_DEVICE_POWERED_OFF and
// USBD_STATUS_DEV_NOT_RESPONDING: the device stopped answering. Neither is
// the cancelled or vanished-device status: a driver that resubmits on such an
// error is refused again at once, which the counters show.
#include "usb/tqm27_port.h"

#include "platform/kernel/machine.h"

namespace tqm::usb {

bool Tqm27Port::PoweredDown() const {
  std::lock_guard lock(mutex_);
  return PoweredDownLocked();
}

void Tqm27Port::SetPower(bool system, int state, std::vector<Done>& done) {
  const bool wasDown = PoweredDownLocked();
  if (system) systemAsleep_ = state != PowerSystemWorking;
  else devicePower_ = DEVICE_POWER_STATE(state);
  if (wasDown || !PoweredDownLocked()) return;
  const size_t before = done.size();
  FailAll(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_POWERED_OFF, done);
  counters_.endedByPowerDown += done.size() - before;
}

bool Tqm27Port::RefusePoweredDown(PIRP irp, NTSTATUS* status) {
  {
    std::lock_guard lock(mutex_);
    if (!PoweredDownLocked()) return false;
    ++counters_.refusedPoweredDown;
  }
  *status = STATUS_DEVICE_POWERED_OFF;
  irp->IoStatus.Status = STATUS_DEVICE_POWERED_OFF;
  irp->IoStatus.Information = 0;
  CompleteAtDispatch(irp);
  return true;
}

}  // namespace tqm::usb
