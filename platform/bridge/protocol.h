// The bridge's wire protocol: how a Windows process (tqmsim.dll under Wine,
// or a native test client) and `tqm27sim serve` talk over one connection.
//
// A connection is one simulated process. Every message is one frame: a fixed
// header {type, length, sequence} and a fixed body {status, four 64-bit
// arguments}, then at most kMaxPayload bytes of payload (a command record,
// caller memory, a UTF-16LE path). A frame is always below 4 KiB, so a writer
// sends it whole in one write and a pipe never interleaves two writers'
// frames.
//
// Who sends what:
//  - requests, client to server, each answered by one Reply with the same
//    sequence (the client numbers them);
//  - callbacks, server to client, made while a request runs in the client's
//    process (probe and copy caller memory, map and unmap a user view,
//    reference an event), each answered by one CallbackReply with the same
//    sequence (the server numbers them);
//  - one-way messages, server to client: Signal (set an event),
//    ReleaseEvent (close the duplicate a reference made), DeviceChange.
//
// The decoder trusts nothing: an unknown type, a length that does not match
// the frame, a payload longer than its type allows or a path of odd length
// is malformed, and the connection that sent it is closed.
//
// Plain C++ with no platform headers: compiled into the server (host build)
// and into tqmsim.dll (windows build).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tqm::bridge {

enum class MessageType : uint32_t {
  // ---- requests (client -> server) ----
  Hello = 1,          // a0 = Windows process id, a1 = heartbeat interval in ms (0 = none),
                      //   a2 = 1 to move to named FIFOs; payload = process name (UTF-16LE)
                      //   reply: a0 = server pid, a1 = arena bytes, a3 = 1 when FIFOs were made;
                      //   payload = arena file path (UTF-8), then with FIFOs a NUL, the path
                      //   the client writes, a NUL, the path it reads
  InterfacePath = 2,  // a0 = index; payload = class GUID (16 bytes, Windows layout)
                      //   reply: status; payload = the path (UTF-16LE)
  Open = 3,           // a0 = desired access; payload = interface or HID path (UTF-16LE)
                      //   reply: status, a0 = handle, a1 = HandleKind
  Control = 4,        // a0 = handle, a1 = control code, a2 = output length; payload = input
                      //   reply: status, a0 = information; payload = output
  Close = 5,          // a0 = handle, a1 = HandleKind; reply: status
  WatchInterfaces = 6,  // a0 = 1 watch, 0 stop; payload = class GUID; reply: status
  Machine = 7,        // the control API: a0 = MachineOp, a1.. arguments; reply: status, a0..
  Heartbeat = 8,      // one-way: the process is alive (sent every interval Hello named)
  HidInfo = 9,        // a0 = HID handle; reply: status, a0 = vendor | product << 16 | version << 32,
                      //   a1 = input | output << 16 | feature << 32 report bytes, a2 = usage page | usage << 16
  Io = 10,            // a0 = HID handle, a1 = IoKind, a2 = the client's id for the operation,
                      //   a3 = bytes to read; payload = the bytes to write
                      //   reply: status (STATUS_PENDING: an IoDone follows), a0 = bytes; payload = bytes read
  CancelIo = 11,      // a0 = HID handle, a1 = operation id; reply: status. The cancelled
                      //   operation's IoDone comes before this reply.
  PeriodWait = 12,    // one-way: a thread of the process waits on the handle it registered as
                      //   its period event (a0) again: the work of the signals up to number a1
                      //   (those the process has taken from the event) is done
  // ---- the Windows audio endpoints of the machine (Core Audio in the process) ----
  Endpoint = 13,      // a0 = EndpointOp, a1..a2 its arguments; payload = event-context GUID
                      //   (16 bytes) then the endpoint id (UTF-16LE), where the op names one
                      //   reply: status (an HRESULT), a0..a3 and payload as the op says
  // ---- the driver store (SetupAPI's driver lists, and the control API) ----
  DriverStore = 0x20,  // a0 = DriverStoreOp, a1 = its argument; payload as the op says
  FifoReady = 0x3F,   // one-way, the first message on the client's FIFO: it has opened both and
                      //   sends on its FIFO from now on
  // ---- callbacks (server -> client) ----
  Query = 0x40,       // a0 = address, a1 = bytes, a2 = 1 for write access; reply: status
  Read = 0x41,        // a0 = address, a1 = bytes (<= kMaxPayload); reply: status, payload
  Write = 0x42,       // a0 = address; payload = bytes; reply: status
  Map = 0x43,         // a0 = arena offset of the first page, a1 = bytes; reply: status, a0 = address
  Unmap = 0x44,       // a0 = address; reply: status
  ReferenceEvent = 0x45,  // a0 = the client's handle; reply: status, a0 = duplicate, a1 = 1 manual reset
  // ---- one-way (server -> client) ----
  Signal = 0x80,        // a0 = duplicate handle to set, a1 = when the kernel signalled it
                        //   (CLOCK_MONOTONIC_RAW in 100 ns units, Wine's performance counter)
  ReleaseEvent = 0x81,  // a0 = duplicate handle to close
  DeviceChange = 0x82,  // a0 = 1 arrival, 0 removal; payload = interface path (UTF-16LE)
  IoDone = 0x83,        // a pending Io ended: a0 = operation id, a1 = bytes, status; payload = bytes read
  EndpointChange = 0x84,  // an endpoint's volume or mute changed (to processes that watch):
                          //   a0 = left | right << 32 dB (float bits), a1 = mute,
                          //   a2 = minimum | maximum << 32 dB (float bits);
                          //   payload = event-context GUID (16 bytes), then the endpoint id
  FifoSwitch = 0xBF,    // the last message on TCP: the server sends on its FIFO from now on
  // ---- answers ----
  Reply = 0xC0,          // to a request
  CallbackReply = 0xC1,  // to a callback
};

// The operations of the Machine request (tests and the demo only).
enum class MachineOp : uint64_t {
  Plug = 1,             // a1 = TQM27 number (its hub port, 0 the first); reply: status
  Unplug = 2,           // a1 = TQM27 number; surprise removal; reply: status
  OpenHandles = 3,      // reply: a0 = handles of the calling process
  ProcessHandles = 4,   // a1 = process id (a Hello reply's); reply: a0 = its handles, a1 = 1 if exited
  SetInput = 5,         // a1 = 0 silence, 1 loopback after a2 frames, 2 sine of a2 Hz;
                        //   a3 = TQM27 number; reply: status
  FaultCount = 6,       // reply: a0 = verifier faults since the server started
  Now = 7,              // reply: a0 = machine time in 100 ns units since boot
  RunFree = 8,          // virtual time: a1 = 1 lets the clock run on its own, 0 stops it
  Step = 9,             // virtual time, stopped: a1 = milliseconds to run; the reply comes
                        //   after every signal of those milliseconds
  // ---- the HID devices (a1 = TQM27 number where one is named) ----
  HidReportLengths = 10,  // a2 = input, a3 = output report bytes (with the id byte; 0 keeps)
  HidSilent = 11,         // a2 = 1: the device takes reports and never answers
  HidReplyDelay = 12,     // a2 = milliseconds between a command report and its reply
  HidStallWrites = 13,    // a2 = 1: writes stay pending until cancelled (an unresponsive device)
  HidReportCount = 14,    // reply: a0 = output reports the device received
  HidReport = 15,         // a2 = index; reply: payload = the report as written (id byte first)
  ForeignHid = 16,        // a1 = 1: an unrelated HID device (another vendor) is present; it refuses opens
  // ---- the rest of the machine ----
  OtherVersion = 17,      // a1 = 1: a device of another interface version (Identify answers 2.1)
                          //   is present under the driver's interface class
  CommandCount = 18,      // a1 = process id (0: the caller); reply: a0 = commands in its log
  Command = 19,           // a1 = process id (0: the caller), a2 = index; reply: a0 = class | sub-op << 32,
                          //   a1 = NT status | information << 32; payload = the 128-byte record as received
  DeviceCounters = 20,    // a1 = TQM27 number; reply: payload = the device's counters (11 x uint64)
  StreamStart = 21,       // a1 = TQM27 number, a2 = rate (0: 48000): the server's own stream client starts
  StreamStop = 22,        // a1 = TQM27 number
  StreamState = 23,       // a1 = TQM27 number; reply: a0 = periods, a1 = 1 running, a2 = missed,
                          //   a3 = period frames
  // ---- the Windows audio endpoints, changed as another program would ----
  EndpointLevels = 24,    // a1 = data flow, a2 = left | right << 32 dB (float bits); reply: HRESULT
  EndpointMute = 25,      // a1 = data flow, a2 = mute; reply: HRESULT
  EndpointRead = 26,      // a1 = data flow; reply: HRESULT, a0 = left | right << 32 (float bits), a1 = mute
  EndpointExtra = 27,     // a1 = EndpointExtraKind, a2 = 1 present; reply: status
  EndpointsPresent = 28,  // a1 = 1: the TQM27's endpoints are shown (the default), 0: they are gone
  FeatureUnits = 29,      // a1 = TQM27 number; reply: a0 = playback, a1 = record unit, each
                          //   left | right << 16 (1/256 dB) | mute << 32
  Pause = 30,             // a1 = machine time in 100 ns units (at most 1 s) the request spends waiting
                          //   in the kernel, as a slow synchronous transfer does; reply: a0 = machine
                          //   time when it ended
};

// The Endpoint request's operations.
enum class EndpointOp : uint64_t {
  Describe = 1,   // a1 = index in enumeration order; reply: status (STATUS_NO_MORE_ENTRIES past
                  //   the end), a0 = data flow, a1 = the HRESULT of reading its topology (0 when
                  //   readable), a2 = minimum | maximum << 32 dB (float bits), a3 = step dB (float
                  //   bits); payload = id, NUL, friendly name, NUL, connected device id (UTF-16LE)
  Read = 2,       // reply: a0 = left | right << 32 dB (float bits), a1 = mute
  SetLevel = 3,   // a1 = channel (2: both), a2 = dB (float bits)
  SetMute = 4,    // a1 = mute
  Watch = 5,      // a1 = 1: this process receives EndpointChange for every endpoint's change
};

// Endpoints a test adds beside the TQM27's own.
enum class EndpointExtraKind : uint64_t {
  Unrelated = 1,  // another device's render endpoint, first of all, whose topology cannot be read
  ThirdPin = 2,   // a render endpoint of the TQM27's companion whose connected id ends in 3
};

// The operations of the DriverStore request.
enum class DriverStoreOp : uint64_t {
  Nodes = 0,   // payload = class GUID; reply: a0 = device nodes of that class, present or not
  Entry = 1,   // a1 = index; reply: status (STATUS_NO_MORE_ENTRIES past the end), a0 = version
               //   (major << 48 | minor << 32 | build << 16 | revision); payload = manufacturer,
               //   provider, description, each ended by a NUL (UTF-16LE)
  Add = 2,     // a1 = version; payload as Entry's reply; reply: a0 = entries now
  Remove = 3,  // a1 = index, or kAllEntries
};
constexpr uint64_t kAllEntries = ~uint64_t(0);

// What a handle the server gave out stands for.
enum class HandleKind : uint64_t {
  File = 0,  // a file object on a device interface of the kernel
  Hid = 1,   // a HID collection
};

enum class IoKind : uint64_t { Read = 0, Write = 1 };

constexpr uint32_t kHeaderBytes = 12;              // type, length, sequence
constexpr uint32_t kBodyBytes = 4 + 4 * 8;         // status, a0..a3
constexpr uint32_t kFixedBytes = kHeaderBytes + kBodyBytes;
constexpr uint32_t kMaxFrameBytes = 4000;          // below PIPE_BUF and the 4 KiB page
constexpr uint32_t kMaxPayload = kMaxFrameBytes - kFixedBytes;
constexpr uint32_t kGuidBytes = 16;

struct Message {
  MessageType type = MessageType::Reply;
  uint32_t sequence = 0;
  uint32_t status = 0;   // an NT status in replies
  uint64_t a[4] = {};
  std::vector<uint8_t> payload;
};

// True for a type the protocol defines.
bool KnownType(uint32_t type);
// The largest payload a message of this type may carry.
uint32_t PayloadLimit(MessageType type);

// The frame of a message; empty when the payload is too long for its type.
std::vector<uint8_t> Encode(const Message& message);

enum class DecodeResult { Complete, NeedMore, Malformed };

// Decodes the frame at the start of [data, data + size). Complete: *message
// is filled and *used is the frame's length. NeedMore: the frame is not all
// there yet (its header, when present, is plausible). Malformed: the bytes
// can never be a frame.
DecodeResult Decode(const uint8_t* data, size_t size, Message* message, size_t* used);

// Cuts a byte stream into messages: Feed what arrives, then take messages
// until Next says NeedMore. After Malformed the reader stays malformed.
class FrameReader {
 public:
  void Feed(const uint8_t* data, size_t size);
  DecodeResult Next(Message* message);
  size_t buffered() const { return buffer_.size() - start_; }

 private:
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  bool malformed_ = false;
};

// Paths cross as UTF-16LE whatever the width of wchar_t (2 bytes on Windows,
// 4 on Linux). Characters beyond the basic plane are not used in paths.
std::vector<uint8_t> PathBytes(const std::wstring& path);
std::wstring PathFromBytes(const std::vector<uint8_t>& bytes);
// The Hello reply's paths (UTF-8, NUL-separated): the arena's, then with
// FIFOs the one the client writes and the one it reads.
std::vector<std::string> HelloPaths(const std::vector<uint8_t>& payload);

}  // namespace tqm::bridge
