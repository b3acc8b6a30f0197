// The guarded call: the one place where the driver touches memory that may
// not be there (user addresses) or calls what raises (probes, user mappings).
//
// TqmGuardedCall runs body(context) and returns its status; if the body
// faults or raises, the body is abandoned at that point and the exception's
// status is returned instead (STATUS_ACCESS_VIOLATION for a bad address, the
// raised status for ProbeForRead/ProbeForWrite). The body therefore must not
// hold locks or own resources that only its own return would release.
//
// In the kernel image it is a few lines of assembly with a structured
// exception scope (driver/core/guarded_call_x64.S); in the host build the
// simulated kernel implements it.
#pragma once

#include "driver/kernel.h"

typedef NTSTATUS TqmGuardedBody(PVOID context);

extern "C" NTSTATUS TqmGuardedCall(TqmGuardedBody* body, PVOID context);
