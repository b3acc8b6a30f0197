// The ASIO host interface as hosts call it: IASIO, its records, result codes,
// message selectors and flags. Our own declarations of the published binary
// interface (x64 only): records are packed to 4 bytes, `long` is 32 bits, and
// the sizes and offsets below are what every host on the platform compiles
// against, so each is checked here.
//
// Registration facts the installer and the test lane use: hosts list the
// drivers under HKLM\SOFTWARE\ASIO\<driver name> (values "CLSID", the class
// identifier in braces, and "Description"), and load the class's in-process
// server from HKCR\CLSID\{clsid}\InprocServer32 (ThreadingModel "Both"). A host
// creates the object with CoCreateInstance(clsid, in-process, iid = clsid):
// the class identifier doubles as IASIO's interface identifier.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <cstddef>

static_assert(sizeof(long) == 4, "the host interface's long is 32 bits (LLP64)");
static_assert(sizeof(void*) == 8, "TQMAsio is a 64-bit server");

using ASIOBool = long;
using ASIOError = long;
using ASIOSampleRate = double;
using ASIOSampleType = long;

constexpr ASIOBool ASIOFalse = 0;
constexpr ASIOBool ASIOTrue = 1;

// ---- result codes ---------------------------------------------------------
constexpr ASIOError ASE_OK = 0;
constexpr ASIOError ASE_SUCCESS = 0x3F4847A0;  // future(): the selector was carried out
constexpr ASIOError ASE_NotPresent = -1000;     // no device, or not initialised
constexpr ASIOError ASE_HWMalfunction = -999;
constexpr ASIOError ASE_InvalidParameter = -998;
constexpr ASIOError ASE_InvalidMode = -997;     // the call does not fit the state
constexpr ASIOError ASE_SPNotAdvancing = -996;
constexpr ASIOError ASE_NoClock = -995;         // rate not available
constexpr ASIOError ASE_NoMemory = -994;

// ---- sample types (the ones this driver uses) -----------------------------
constexpr ASIOSampleType ASIOSTInt32LSB = 18;

// ---- message selectors (asioMessage) --------------------------------------
constexpr long kAsioSelectorSupported = 1;
constexpr long kAsioEngineVersion = 2;
constexpr long kAsioResetRequest = 3;
constexpr long kAsioBufferSizeChange = 4;
constexpr long kAsioResyncRequest = 5;
constexpr long kAsioLatenciesChanged = 6;
constexpr long kAsioSupportsTimeInfo = 7;
constexpr long kAsioSupportsTimeCode = 8;
constexpr long kAsioOverload = 15;

// ---- future() selectors ---------------------------------------------------
constexpr long kAsioEnableTimeCodeRead = 1;
constexpr long kAsioDisableTimeCodeRead = 2;
constexpr long kAsioSetInputMonitor = 3;

// ---- time-info and time-code flags ----------------------------------------
constexpr unsigned long kSystemTimeValid = 1;
constexpr unsigned long kSamplePositionValid = 2;
constexpr unsigned long kSampleRateValid = 4;
constexpr unsigned long kSpeedValid = 8;
constexpr unsigned long kSampleRateChanged = 16;
constexpr unsigned long kClockSourceChanged = 32;

constexpr unsigned long kTcValid = 1;
constexpr unsigned long kTcRunning = 2;
constexpr unsigned long kTcReverse = 4;
constexpr unsigned long kTcOnspeed = 8;
constexpr unsigned long kTcStill = 16;
constexpr unsigned long kTcSpeedValid = 0x100;

#pragma pack(push, 4)

// 64-bit counts as two 32-bit halves.
struct ASIOSamples {
  unsigned long hi;
  unsigned long lo;
};
struct ASIOTimeStamp {
  unsigned long hi;
  unsigned long lo;
};

struct ASIOClockSource {
  long index;
  long associatedChannel;
  long associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
};

struct ASIOChannelInfo {
  long channel;          // in
  ASIOBool isInput;      // in
  ASIOBool isActive;
  long channelGroup;
  ASIOSampleType type;
  char name[32];
};

struct ASIOBufferInfo {
  ASIOBool isInput;   // in
  long channelNum;    // in
  void* buffers[2];   // out: the two halves
};

struct AsioTimeInfo {
  double speed;
  ASIOTimeStamp systemTime;    // ns
  ASIOSamples samplePosition;
  ASIOSampleRate sampleRate;
  unsigned long flags;
  char reserved[12];
};

struct ASIOTimeCode {
  double speed;
  ASIOSamples timeCodeSamples;
  unsigned long flags;
  char future[64];
};

struct ASIOTime {
  long reserved[4];
  AsioTimeInfo timeInfo;
  ASIOTimeCode timeCode;
};

struct ASIOCallbacks {
  void (*bufferSwitch)(long doubleBufferIndex, ASIOBool directProcess);
  void (*sampleRateDidChange)(ASIOSampleRate sRate);
  long (*asioMessage)(long selector, long value, void* message, double* opt);
  ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, long doubleBufferIndex, ASIOBool directProcess);
};

#pragma pack(pop)

static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8);
static_assert(sizeof(ASIOClockSource) == 48 && offsetof(ASIOClockSource, name) == 16);
static_assert(sizeof(ASIOChannelInfo) == 52 && offsetof(ASIOChannelInfo, name) == 20);
static_assert(sizeof(ASIOBufferInfo) == 24 && offsetof(ASIOBufferInfo, buffers) == 8);
static_assert(sizeof(AsioTimeInfo) == 48 && offsetof(AsioTimeInfo, sampleRate) == 24 &&
              offsetof(AsioTimeInfo, flags) == 32);
static_assert(sizeof(ASIOTimeCode) == 84 && offsetof(ASIOTimeCode, flags) == 16);
static_assert(sizeof(ASIOTime) == 148 && offsetof(ASIOTime, timeInfo) == 16 && offsetof(ASIOTime, timeCode) == 64);
static_assert(sizeof(ASIOCallbacks) == 32 && offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == 24);

// The driver interface, after IUnknown's three slots, in slot order.
struct IASIO : public IUnknown {
  virtual ASIOBool init(void* sysHandle) = 0;                                    // 3
  virtual void getDriverName(char* name) = 0;                                    // 4
  virtual long getDriverVersion() = 0;                                           // 5
  virtual void getErrorMessage(char* string) = 0;                                // 6
  virtual ASIOError start() = 0;                                                 // 7
  virtual ASIOError stop() = 0;                                                  // 8
  virtual ASIOError getChannels(long* numInputChannels, long* numOutputChannels) = 0;  // 9
  virtual ASIOError getLatencies(long* inputLatency, long* outputLatency) = 0;   // 10
  virtual ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize, long* granularity) = 0;  // 11
  virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;                // 12
  virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;               // 13
  virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;                // 14
  virtual ASIOError getClockSources(ASIOClockSource* clocks, long* numSources) = 0;  // 15
  virtual ASIOError setClockSource(long reference) = 0;                          // 16
  virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;  // 17
  virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;                   // 18
  virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                  ASIOCallbacks* callbacks) = 0;                 // 19
  virtual ASIOError disposeBuffers() = 0;                                        // 20
  virtual ASIOError controlPanel() = 0;                                          // 21
  virtual ASIOError future(long selector, void* opt) = 0;                        // 22
  virtual ASIOError outputReady() = 0;                                           // 23
};
