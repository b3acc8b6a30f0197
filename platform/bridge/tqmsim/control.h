// The simulated machine's control API (tests and the demo, never product
// code), exported by tqmsim.dll and carried on the bridge's connection.
// Every call returns an NT status (0 = success); 0xC000014B when no server
// is reachable.
#pragma once

#include <stdint.h>

#if defined(TQM_SYS_IMPLEMENTATION)
#define TQM_SIM_CONTROL_API extern "C" __declspec(dllexport)
#else
#define TQM_SIM_CONTROL_API extern "C" __declspec(dllimport)
#endif

// Plugs a TQM27 in (Plug and Play starts the driver) or pulls it out
// (surprise removal). The machine's hub has 16 ports: `device` names one
// (0..15); TqmSimPlug and TqmSimUnplug use port 0. Each arrival is a new
// device instance with new interface paths. A port whose device was pulled
// is free again once that device's last handle has closed.
TQM_SIM_CONTROL_API uint32_t TqmSimPlug(void);
TQM_SIM_CONTROL_API uint32_t TqmSimUnplug(void);
TQM_SIM_CONTROL_API uint32_t TqmSimPlugDevice(uint32_t device);
TQM_SIM_CONTROL_API uint32_t TqmSimUnplugDevice(uint32_t device);
// The device's input: 0 silence, 1 its output looped back after `value`
// frames, 2 a sine of `value` Hz at -6 dBFS.
TQM_SIM_CONTROL_API uint32_t TqmSimSetInput(uint32_t kind, uint32_t value);
TQM_SIM_CONTROL_API uint32_t TqmSimSetDeviceInput(uint32_t device, uint32_t kind, uint32_t value);
// Verifier faults the machine found since the server started (a test fails
// when this is not 0).
TQM_SIM_CONTROL_API uint32_t TqmSimFaultCount(uint64_t* faults);
// Virtual time (the server's --time virtual): the machine's time in 100 ns
// units; stop the clock (runFree 0) or let it run on its own again; run a
// stopped clock `milliseconds` on, returning after the signals of that time
// have been delivered to this process.
TQM_SIM_CONTROL_API uint32_t TqmSimNow(uint64_t* now);
TQM_SIM_CONTROL_API uint32_t TqmSimRunFree(int runFree);
TQM_SIM_CONTROL_API uint32_t TqmSimStep(uint32_t milliseconds);
// This process's id on the simulated machine.
TQM_SIM_CONTROL_API uint32_t TqmSimProcessId(uint64_t* id);
// When the kernel last signalled one of this process's events (its own
// handle), in performance-counter units (the server stamps the signal with
// the same clock Wine's counter reads): for measuring how late a waiting
// thread wakes.
TQM_SIM_CONTROL_API uint32_t TqmSimLastSignal(void* event, uint64_t* counter);
// The open handles of a simulated process and whether it has exited.
TQM_SIM_CONTROL_API uint32_t TqmSimProcessState(uint64_t id, uint64_t* handles, int* exited);

// ---- the HID devices ----
// `device` numbers a plugged TQM27 (0 the first). Report lengths count the id
// byte, as HidP_GetCaps gives them (the TQM27: input 32, output 64); 0 keeps
// a length. Lengths set here hold until the device is unplugged.
TQM_SIM_CONTROL_API uint32_t TqmSimHidReportLengths(uint32_t device, uint32_t inputBytes, uint32_t outputBytes);
// A silent device takes every report and never answers.
TQM_SIM_CONTROL_API uint32_t TqmSimHidSilent(uint32_t device, int silent);
// Milliseconds of machine time between a command report and its reply (1 by
// default).
TQM_SIM_CONTROL_API uint32_t TqmSimHidReplyDelay(uint32_t device, uint32_t milliseconds);
// Writes stay pending until cancelled, as to a device that stopped taking
// reports.
TQM_SIM_CONTROL_API uint32_t TqmSimHidStallWrites(uint32_t device, int stall);
// The device's log of the output reports it received (every report, commands
// or not, the last 256), oldest first, each as the host wrote it: the report
// id byte 0, then the bytes the device got. *length is the report's length;
// at most `size` bytes are copied.
TQM_SIM_CONTROL_API uint32_t TqmSimHidReportCount(uint32_t device, uint32_t* count);
TQM_SIM_CONTROL_API uint32_t TqmSimHidReport(uint32_t device, uint32_t index, uint8_t* buffer, uint32_t size,
                                             uint32_t* length);
// An unrelated HID device (vendor 0x1D28, product 0x0001) present or not; it
// comes first in the HID enumeration and refuses every open (access denied).
TQM_SIM_CONTROL_API uint32_t TqmSimForeignHid(int present);

// A device of another interface version, registered under the driver's
// interface class: Identify answers 2.1, every other command fails
// (ERROR_INVALID_FUNCTION). Its interface comes after the ones registered
// before it; removing it closes the handles processes hold on it.
TQM_SIM_CONTROL_API uint32_t TqmSimOtherVersion(int present);

// ---- what the driver saw, the devices' counters ----
// The log of the commands a simulated process sent with the command control
// code (the last 4096), oldest first: `process` is an id from
// TqmSimProcessId (0: the calling process); logs outlive their process.
typedef struct TqmSimCommandEntry {
  uint32_t commandClass;  // record bytes 0..3
  uint32_t subOp;         // record bytes 8..11
  uint32_t status;        // the NT status the request completed with
  uint32_t information;   // the bytes the driver returned
  uint8_t record[128];    // the record as the driver received it
  // The settings commands (GetSettings, ApplySettings and its alias,
  // ApplyAndSaveSettings): the 276-byte block the record names, as the
  // process's memory held it after the request; settingsBytes is 0 for other
  // commands and when the block could not be read.
  uint32_t settingsBytes;
  uint8_t settings[276];
} TqmSimCommandEntry;
TQM_SIM_CONTROL_API uint32_t TqmSimCommandCount(uint64_t process, uint32_t* count);
TQM_SIM_CONTROL_API uint32_t TqmSimCommand(uint64_t process, uint32_t index, TqmSimCommandEntry* entry);
// A TQM27's own counters (the virtual device's, since it was plugged).
typedef struct TqmSimDeviceCounters {
  uint64_t frames;             // 1 ms bus frames
  uint64_t outPackets, outFrames;  // isochronous OUT packets taken, audio frames in them
  uint64_t inPackets, inFrames;    // IN packets delivered, audio frames in them
  uint64_t dacUnderruns;       // milliseconds the running DAC lacked frames
  uint64_t dacOverruns;        // OUT packets that did not fit the DAC's FIFO
  uint64_t inFramesLost;       // ADC frames made while no IN transfer was pending
  uint64_t outSizeMismatches;  // OUT packets whose size did not fit the rate
  uint64_t packetErrors;       // packets failed by injection
  uint64_t loopbackDryFrames;  // loopback frames the delay line could not supply
} TqmSimDeviceCounters;
TQM_SIM_CONTROL_API uint32_t TqmSimGetDeviceCounters(uint32_t device, TqmSimDeviceCounters* counters);

// ---- the machine's own stream client ----
// The simulator's stream client (an ASIO driver's sequence: Identify, the
// status block, the SharedBuffer, the period event, the channels) in a
// simulated process of its own, streaming silence on TQM27 `device` at `rate`
// (44100, 48000 or 96000; 0 is 48000) until stopped. A second start on the
// same device fails (STATUS_DEVICE_BUSY, 0x80000011); another client holding the engine
// makes the start fail.
TQM_SIM_CONTROL_API uint32_t TqmSimStreamStart(uint32_t device, uint32_t rate);
TQM_SIM_CONTROL_API uint32_t TqmSimStreamStop(uint32_t device);
// The running stream's figures, or the last stopped one's.
typedef struct TqmSimStreamInfo {
  int running;
  uint32_t periodFrames;
  uint64_t periods;  // period events handled
  uint64_t missed;   // periods the watchdog counted beyond the ones handled
} TqmSimStreamInfo;
TQM_SIM_CONTROL_API uint32_t TqmSimStreamState(uint32_t device, TqmSimStreamInfo* info);

// ---- the driver store ----
// The driver packages installed for the TQM27, as SetupDiBuildDriverInfoList
// lists them for every TQM27 device node (a node stays after its device is
// pulled). The server starts with one entry: manufacturer and provider "ORU",
// description "TQM27 Controller driver", the project's version. `version` is
// major << 48 | minor << 32 | build << 16 | revision. Remove takes an index in
// the store's order, or kTqmSimAllDriverEntries.
#define kTqmSimAllDriverEntries 0xFFFFFFFFu
TQM_SIM_CONTROL_API uint32_t TqmSimDriverStoreAdd(const wchar_t* manufacturer, const wchar_t* provider,
                                                  const wchar_t* description, uint64_t version);
TQM_SIM_CONTROL_API uint32_t TqmSimDriverStoreRemove(uint32_t index);
// Device information sets and driver lists this process obtained and has not
// destroyed yet (answered without the server).
TQM_SIM_CONTROL_API uint32_t TqmSimDeviceInfoLists(uint64_t* sets, uint64_t* driverLists);
// ---- the Windows audio endpoints (Core Audio) ----
// The TQM27's render (flow 0) and capture (flow 1) endpoints, changed as
// another program would change them (the sound settings): the companion
// forwards the change to the driver, and every callback registered in any
// process is told, with a null event context. Levels in dB within the
// endpoint's range (render -96..0, capture -96..+12), else E_INVALIDARG;
// AUDCLNT_E_DEVICE_INVALIDATED when the endpoint is gone. Results are HRESULTs.
TQM_SIM_CONTROL_API uint32_t TqmSimEndpointSetLevels(uint32_t flow, float leftDb, float rightDb);
TQM_SIM_CONTROL_API uint32_t TqmSimEndpointSetMute(uint32_t flow, int mute);
TQM_SIM_CONTROL_API uint32_t TqmSimEndpointRead(uint32_t flow, float* leftDb, float* rightDb, int* mute);
// Endpoints beside the TQM27's: kind 1, another device's render endpoint,
// first in the enumeration, whose topology cannot be read (at -30 dB); kind
// 2, a render endpoint of the companion whose connected id ends in 3 (at
// -20 dB), enumerated before the TQM27's own.
TQM_SIM_CONTROL_API uint32_t TqmSimEndpointExtra(uint32_t kind, int present);
// The TQM27's endpoints shown (1, the default) or gone (0), as when the
// companion's audio function stops.
TQM_SIM_CONTROL_API uint32_t TqmSimEndpointsPresent(int present);
// A TQM27's feature units as the device holds them (1/256 dB per channel).
typedef struct TqmSimFeatureUnit {
  int16_t volume[2];
  int mute;
} TqmSimFeatureUnit;
TQM_SIM_CONTROL_API uint32_t TqmSimFeatureUnits(uint32_t device, TqmSimFeatureUnit* playback,
                                                TqmSimFeatureUnit* record);
// The Core Audio objects alive in this process (enumerators, collections,
// devices, property stores, topologies, connectors, endpoint volumes) and the
// change callbacks registered and not yet unregistered (each holds its
// callback). Answered without the server.
TQM_SIM_CONTROL_API uint32_t TqmSimCoreAudioObjects(uint64_t* objects, uint64_t* registrations);

// ---- this process's bridge ----
// Handles the bridge gave this process (device interfaces and HID files)
// that are still open, and HID preparsed-data blocks not yet freed: a test
// reads them before and after to prove nothing was left open. Answered
// without the server.
TQM_SIM_CONTROL_API uint32_t TqmSimOpenHandles(uint64_t* handles);
TQM_SIM_CONTROL_API uint32_t TqmSimPreparsedBlocks(uint64_t* blocks);
