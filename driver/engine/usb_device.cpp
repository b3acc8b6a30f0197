// The engine's conversation with the USB stack: every request is a URB sent
// to the lower device object with IOCTL_INTERNAL_USB_SUBMIT_URB, waited for at
// passive level. Descriptor replies are checked (length and type) because the
// bytes come from the device; the interface information the stack returns is
// copied per interface, and the pipe list points into those copies.
#include "driver/engine/stream_engine.h"

#include "driver/engine/format_scan.h"

namespace engine {

namespace {

void* AllocZeroed(ULONG bytes) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, bytes, kTagEngine);
  if (block) RtlZeroMemory(block, bytes);
  return block;
}

constexpr UCHAR kSetCur = 0x01;
constexpr UCHAR kGetCur = 0x81;
constexpr USHORT kSamplingFrequencyControl = 0x0100;
constexpr USHORT kMuteControl = 0x0100;
constexpr USHORT kVolumeControl = 0x0200;

}  // namespace

void StreamEngine::FreeBlock(void* block) {
  if (block) ExFreePoolWithTag(block, kTagEngine);
}

USHORT VolumeWireValue(LONG word, ULONG direction) {
  const LONGLONG offset = direction == kPlayback ? 55 : 40;
  // v / 2 rounded down, also for a negative word (in 64 bits: the word may be
  // anything a corrupt record holds).
  const LONGLONG w = word;
  const LONGLONG halves = w >= 0 ? w / 2 : -((1 - w) / 2);
  const LONGLONG level = halves - offset;
  if (level < -127) return 0x8100;  // quietest level; 0x8000 would mean silence
  if (level > 127) return 0x7F00;
  const USHORT high = USHORT(level & 0xFF);
  return USHORT(high << 8 | ((word & 1) ? 0x80 : 0));
}

NTSTATUS StreamEngine::SubmitSync(PURB urb) {
  // A device out of D0 refuses every request; none is sent.
  if (poweredDown()) return STATUS_DEVICE_POWERED_OFF;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  iosb.Status = STATUS_UNSUCCESSFUL;
  iosb.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower_, nullptr, 0, nullptr,
                                           0, TRUE, &done, &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(lower_, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

NTSTATUS StreamEngine::GetDescriptor(ULONG recipient, UCHAR type, UCHAR index, USHORT language,
                                     ULONG retries, ULONG length, UCHAR** data) {
  *data = nullptr;
  USHORT function;
  switch (recipient) {
    case 0: function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE; break;
    case 1: function = URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE; break;
    case 2: function = URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT; break;
    default: return STATUS_INVALID_PARAMETER;
  }
  // Byte 1 of every descriptor is its type: a reply shorter than that cannot
  // be checked.
  if (length < 2) return STATUS_INVALID_PARAMETER;
  const ULONG urbBytes = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  PURB urb = static_cast<PURB>(AllocZeroed(urbBytes));
  UCHAR* buffer = static_cast<UCHAR*>(AllocZeroed(length));
  if (!urb || !buffer) {
    FreeBlock(urb);
    FreeBlock(buffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = STATUS_DEVICE_DATA_ERROR;
  for (ULONG attempt = 0; attempt <= retries; ++attempt) {
    RtlZeroMemory(urb, urbBytes);
    UsbBuildGetDescriptorRequest(urb, USHORT(urbBytes), type, index, language, buffer, nullptr, length,
                                 nullptr);
    urb->UrbHeader.Function = function;
    status = SubmitSync(urb);
    if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status) &&
        urb->UrbControlDescriptorRequest.TransferBufferLength == length && buffer[1] == type)
      break;
    if (status != STATUS_INSUFFICIENT_RESOURCES) status = STATUS_DEVICE_DATA_ERROR;
  }
  FreeBlock(urb);
  if (!NT_SUCCESS(status)) {
    FreeBlock(buffer);
    return status;
  }
  *data = buffer;
  return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::ReadDevice() {
  NTSTATUS status = GetDescriptor(0, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 2, sizeof(USB_DEVICE_DESCRIPTOR),
                                  &deviceDescriptor_);
  if (!NT_SUCCESS(status)) return status;

  UCHAR* head;
  status = GetDescriptor(0, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 2, usb_desc::kConfigHeaderLength, &head);
  if (!NT_SUCCESS(status)) return status;
  const ULONG total = ULONG(head[2]) | ULONG(head[3]) << 8;
  FreeBlock(head);
  if (total < usb_desc::kConfigHeaderLength) return STATUS_DEVICE_DATA_ERROR;
  status = GetDescriptor(0, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 2, total, &configDescriptor_);
  if (!NT_SUCCESS(status)) return status;

  // The manufacturer and product strings: read, not interpreted; index 0
  // means the device has none.
  const UCHAR strings[2] = {
      reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(deviceDescriptor_)->iManufacturer,
      reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(deviceDescriptor_)->iProduct};
  for (UCHAR index : strings) {
    if (index == 0) continue;
    UCHAR* text;
    status = GetDescriptor(0, USB_STRING_DESCRIPTOR_TYPE, index, 0, 2, 4, &text);
    if (!NT_SUCCESS(status)) return status;
    const ULONG length = text[0];
    FreeBlock(text);
    if (length < 4) return STATUS_DEVICE_DATA_ERROR;
    status = GetDescriptor(0, USB_STRING_DESCRIPTOR_TYPE, index, 0, 2, length, &text);
    if (!NT_SUCCESS(status)) return status;
    FreeBlock(text);
  }

  FormatScan scan = {};
  if (ScanFormats(configDescriptor_, total, &scan) != ScanResult::Ok) return STATUS_DEVICE_DATA_ERROR;
  playChannels_ = scan.playChannels;
  playWidth_ = scan.playWidth ? scan.playWidth : 3;
  recordChannels_ = scan.recordChannels;
  recordWidth_ = scan.recordWidth ? scan.recordWidth : 3;
  clientPlayChannels_ = playChannels_;
  clientRecordChannels_ = recordChannels_;
  return SelectConfiguration();
}

NTSTATUS StreamEngine::SelectConfiguration() {
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configDescriptor_);
  if (!config) return STATUS_INVALID_DEVICE_STATE;
  const ULONG wanted = config->bNumInterfaces;
  if (wanted > kMaxInterfaces) return STATUS_DEVICE_DATA_ERROR;
  auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      AllocZeroed((wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG found = 0;
  for (LONG number = 0; found < wanted; ++number) {
    if (number > 256) {
      FreeBlock(list);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1);
    if (d) list[found++].InterfaceDescriptor = d;
  }
  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  if (!urb) {
    FreeBlock(list);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = SubmitSync(urb);
  if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) {
    configHandle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
    FreeInterfaces();
    for (ULONG i = 0; i < found; ++i) {
      PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
      if (!info || info->InterfaceNumber >= kMaxInterfaces) continue;
      auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocZeroed(info->Length));
      if (!copy) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      RtlCopyMemory(copy, info, info->Length);
      interfaces_[info->InterfaceNumber] = copy;
    }
    RebuildPipes();
  }
  ExFreePool(urb);
  FreeBlock(list);
  return status;
}

void StreamEngine::FreeInterfaces() {
  for (PUSBD_INTERFACE_INFORMATION& info : interfaces_) {
    FreeBlock(info);
    info = nullptr;
  }
  pipeCount_ = 0;
}

void StreamEngine::RebuildPipes() {
  pipeCount_ = 0;
  for (PUSBD_INTERFACE_INFORMATION info : interfaces_) {
    if (!info) continue;
    for (ULONG p = 0; p < info->NumberOfPipes && pipeCount_ < kMaxPipes; ++p)
      pipes_[pipeCount_++] = &info->Pipes[p];
  }
}

NTSTATUS StreamEngine::SelectAlternate(ULONG number, ULONG setting) {
  if (number >= kMaxInterfaces || !interfaces_[number]) return STATUS_INSUFFICIENT_RESOURCES;
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configDescriptor_);
  PUSB_INTERFACE_DESCRIPTOR d =
      USBD_ParseConfigurationDescriptorEx(config, config, LONG(number), LONG(setting), -1, -1, -1);
  if (!d) return STATUS_INVALID_PARAMETER;
  const ULONG pipes = d->bNumEndpoints;
  const ULONG urbBytes = ULONG(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes ? pipes : 1));
  PURB urb = static_cast<PURB>(AllocZeroed(urbBytes));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  UsbBuildSelectInterfaceRequest(urb, USHORT(urbBytes), configHandle_, UCHAR(number), UCHAR(setting));
  urb->UrbSelectInterface.Interface.Length = USHORT(GET_USBD_INTERFACE_SIZE(pipes));
  for (ULONG p = 0; p < pipes; ++p) urb->UrbSelectInterface.Interface.Pipes[p].MaximumTransferSize = 0xFFFFFFFF;
  NTSTATUS status = SubmitSync(urb);
  if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
  if (urb->UrbHeader.Status == USBD_STATUS_NO_BANDWIDTH) {
    // The bus cannot reserve the setting's isochronous bandwidth (other
    // devices hold it): a condition of the machine, not of this device, and
    // the clients are told so apart from a device error.
    TQM_TRACE("TQMDRV: no USB bandwidth for interface %u setting %u\n", number, setting);
    status = STATUS_INSUFFICIENT_RESOURCES;
  }

  const PUSBD_INTERFACE_INFORMATION returned = &urb->UrbSelectInterface.Interface;
  const ULONG copyBytes = NT_SUCCESS(status) ? returned->Length : ULONG(GET_USBD_INTERFACE_SIZE(0));
  auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocZeroed(copyBytes));
  if (copy) {
    if (NT_SUCCESS(status)) {
      RtlCopyMemory(copy, returned, copyBytes);
    } else {
      // A failed selection leaves the interface without pipes.
      copy->Length = USHORT(copyBytes);
      copy->InterfaceNumber = UCHAR(number);
      copy->AlternateSetting = UCHAR(setting);
    }
  } else {
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  FreeBlock(interfaces_[number]);
  interfaces_[number] = copy;
  RebuildPipes();
  FreeBlock(urb);
  return status;
}

NTSTATUS StreamEngine::SelectStreaming() {
  if (Streaming()) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = SelectAlternate(kPlaybackInterface, playAlternate_);
  if (!NT_SUCCESS(status)) {
    configured_ = false;
    return status;
  }
  status = SelectAlternate(kRecordInterface, recordAlternate_);
  if (!NT_SUCCESS(status)) {
    configured_ = false;
    SelectAlternate(kPlaybackInterface, 0);
    return status;
  }
  configured_ = true;
  return STATUS_SUCCESS;
}

void StreamEngine::Deselect() {
  configured_ = false;
  if (Streaming()) return;
  if (NT_SUCCESS(SelectAlternate(kPlaybackInterface, 0))) SelectAlternate(kRecordInterface, 0);
}

NTSTATUS StreamEngine::Unconfigure() {
  const ULONG urbBytes = sizeof(struct _URB_SELECT_CONFIGURATION);
  PURB urb = static_cast<PURB>(AllocZeroed(urbBytes));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Length = USHORT(urbBytes);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
  const NTSTATUS status = SubmitSync(urb);
  FreeBlock(urb);
  return status;
}

NTSTATUS StreamEngine::ResetPipe(USBD_PIPE_HANDLE pipe) {
  const ULONG urbBytes = sizeof(struct _URB_PIPE_REQUEST);
  PURB urb = static_cast<PURB>(AllocZeroed(urbBytes));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Length = USHORT(urbBytes);
  urb->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb->UrbPipeRequest.PipeHandle = pipe;
  NTSTATUS status = SubmitSync(urb);
  if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
  FreeBlock(urb);
  return status;
}

NTSTATUS StreamEngine::ClassRequest(USHORT function, USHORT value, USHORT index, const UCHAR* data,
                                    ULONG length) {
  return ClassTransfer(function, kSetCur, value, index, const_cast<UCHAR*>(data), length, false);
}

NTSTATUS StreamEngine::ClassTransfer(USHORT function, UCHAR request, USHORT value, USHORT index, UCHAR* data,
                                     ULONG length, bool in) {
  // The data stage lives behind the URB, in the same nonpaged block.
  const ULONG urbBytes = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  if (length > 8) return STATUS_INVALID_PARAMETER;
  UCHAR* block = static_cast<UCHAR*>(AllocZeroed(urbBytes + 8));
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  PURB urb = reinterpret_cast<PURB>(block);
  UCHAR* stage = block + urbBytes;
  if (!in) RtlCopyMemory(stage, data, length);
  const ULONG flags = in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
  UsbBuildVendorRequest(urb, function, USHORT(urbBytes), flags, 0, request, value, index, stage, nullptr, length,
                        nullptr);
  NTSTATUS status = SubmitSync(urb);
  if (!NT_SUCCESS(status) || !USBD_SUCCESS(urb->UrbHeader.Status)) status = STATUS_DEVICE_DATA_ERROR;
  if (NT_SUCCESS(status) && in) {
    if (urb->UrbControlVendorClassRequest.TransferBufferLength < length) status = STATUS_DEVICE_DATA_ERROR;
    else RtlCopyMemory(data, stage, length);
  }
  FreeBlock(block);
  return status;
}

NTSTATUS StreamEngine::SetSamplingFrequency(UCHAR endpoint, ULONG rate) {
  const UCHAR data[3] = {UCHAR(rate), UCHAR(rate >> 8), UCHAR(rate >> 16)};
  return ClassRequest(URB_FUNCTION_CLASS_ENDPOINT, kSamplingFrequencyControl, endpoint, data, 3);
}

NTSTATUS StreamEngine::SetVolume(ULONG channel, USHORT value, ULONG direction) {
  const UCHAR data[2] = {UCHAR(value), UCHAR(value >> 8)};
  return ClassRequest(URB_FUNCTION_CLASS_INTERFACE, USHORT(kVolumeControl + channel),
                      direction == kPlayback ? kPlaybackUnitIndex : kRecordUnitIndex, data, 2);
}

NTSTATUS StreamEngine::SetMute(bool muted, ULONG direction) {
  const UCHAR data[1] = {UCHAR(muted ? 1 : 0)};
  return ClassRequest(URB_FUNCTION_CLASS_INTERFACE, kMuteControl,
                      direction == kPlayback ? kPlaybackUnitIndex : kRecordUnitIndex, data, 1);
}

ULONG StreamEngine::GetSamplingFrequency(UCHAR endpoint) {
  UCHAR data[3] = {};
  if (!NT_SUCCESS(ClassTransfer(URB_FUNCTION_CLASS_ENDPOINT, kGetCur, kSamplingFrequencyControl, endpoint, data,
                                3, true)))
    return 0;
  return ULONG(data[0]) | ULONG(data[1]) << 8 | ULONG(data[2]) << 16;
}

bool StreamEngine::CurrentFrame(ULONG* frame) {
  const ULONG urbBytes = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
  PURB urb = static_cast<PURB>(AllocZeroed(urbBytes));
  if (!urb) return false;
  urb->UrbHeader.Length = USHORT(urbBytes);
  urb->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  const NTSTATUS status = SubmitSync(urb);
  const bool ok = NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status);
  if (ok) *frame = urb->UrbGetCurrentFrameNumber.FrameNumber;
  FreeBlock(urb);
  return ok;
}

NTSTATUS StreamEngine::SendRate(ULONG rate) {
  SetSamplingFrequency(kPlaybackEndpoint, rate);
  const NTSTATUS status = SetSamplingFrequency(kRecordEndpoint, rate);
  if (NT_SUCCESS(status)) confirmedRate_ = rate;
  return status;
}

NTSTATUS StreamEngine::SelectAndSendRate() {
  NTSTATUS status = SelectStreaming();
  if (!NT_SUCCESS(status)) return status;
  const ULONG wanted = rate();
  if (NT_SUCCESS(SendRate(wanted))) return STATUS_SUCCESS;
  // Refused. A device already running the rate is fine; otherwise the engine
  // follows the rate the device runs, and says the change failed.
  ULONG running = GetSamplingFrequency(kRecordEndpoint);
  if (!IsSupportedRate(running)) running = confirmedRate_;
  if (running == wanted) {
    confirmedRate_ = running;
    return STATUS_SUCCESS;
  }
  if (IsSupportedRate(running) && MinPeriodFrames(running) <= periodFrames()) {
    confirmedRate_ = running;
    current_.rate = LONG(running);
    // The alternate settings and widths follow the rate.
    ChooseFormat(running);
    Resize();
    if (NT_SUCCESS(SelectStreaming())) SendRate(running);
    Signal(0);
  }
  return STATUS_DEVICE_DATA_ERROR;
}

void StreamEngine::BuildIsochronous(TransferContext* context, ULONG direction) {
  const bool record = direction == kRecord;
  const ULONG packets = record ? schedule_.recordPackets : schedule_.playPackets;
  // StartStreams refuses a schedule without packets; a request without
  // packets would never complete.
  const ULONG urbBytes = ULONG(GET_ISO_URB_SIZE(packets));
  PURB urb = context->urb;
  RtlZeroMemory(urb, urbBytes);
  _URB_ISOCH_TRANSFER& t = urb->UrbIsochronousTransfer;
  urb->UrbHeader.Length = USHORT(urbBytes);
  urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  t.PipeHandle = context->stream->pipe;
  // A timed stream's requests name their frames, one after the other in the
  // order they are built (see PipeStream); the others go as soon as possible.
  PipeStream* s = context->stream;
  t.TransferFlags = (s->timed ? 0 : USBD_START_ISO_TRANSFER_ASAP) | (record ? USBD_TRANSFER_DIRECTION_IN : 0);
  t.TransferBuffer = context->buffer;
  ULONG length = record ? schedule_.recordBytesPerRequest : schedule_.playBytesPerRequest;
  if (!record && pacer_.ExtraFrameDue()) length += playWidth_ * playChannels_;
  t.TransferBufferLength = length;
  if (s->timed) {
    t.StartFrame = s->nextFrame;
    s->nextFrame += packets;
  }
  t.NumberOfPackets = packets;
  const ULONG stride = record ? schedule_.recordPacketSize : schedule_.playPacketStride;
  for (ULONG k = 0; k < packets; ++k) {
    t.IsoPacket[k].Offset = k * stride;
    if (record) t.IsoPacket[k].Length = schedule_.recordPacketSize;
  }
}

}  // namespace engine
