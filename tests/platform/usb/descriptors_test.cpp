// The descriptors as a host reads them through GET_DESCRIPTOR, parsed back the
// way the driver and a USB stack parse them.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>

#include "tqm/identity.h"
#include "usb_host.h"

namespace tqm::usb {
namespace {

using testing::UsbHost;

std::vector<uint8_t> ReadConfiguration(UsbHost& host) {
  const testing::Reply head = host.Descriptor(0x02, 0, 9);
  EXPECT_EQ(head.status, UsbStatus::Ok);
  if (head.data.size() != 9) return {};
  const uint16_t total = uint16_t(head.data[2] | head.data[3] << 8);
  const testing::Reply all = host.Descriptor(0x02, 0, total);
  EXPECT_EQ(all.status, UsbStatus::Ok);
  EXPECT_EQ(all.data.size(), total);
  return all.data;
}

struct ScanResult {
  int playbackChannels = 0, playbackWidth = 0, recordChannels = 0, recordWidth = 0;
  bool formatType2 = false;
};

// The driver's format scan: from byte 9 by bLength while more than 2 bytes
// remain; a class-specific interface descriptor of subtype 2 with format type 1
// or 3 gives channels (byte 4) and width (byte 6 / 8), and the endpoint
// descriptor right after it gives the direction; the last pair per direction wins.
ScanResult DriverFormatScan(const std::vector<uint8_t>& c) {
  ScanResult r;
  size_t at = 9;
  while (c.size() - at > 2) {
    const uint8_t len = c[at];
    if (len == 0) break;
    if (c[at + 1] == 0x24 && c[at + 2] == 0x02) {
      if (c[at + 3] == 2) r.formatType2 = true;
      const size_t next = at + len;
      if ((c[at + 3] == 1 || c[at + 3] == 3) && next + 2 < c.size() && c[next + 1] == 0x05) {
        const int channels = c[at + 4], width = c[at + 6] / 8;
        if (c[next + 2] & 0x80) r.recordChannels = channels, r.recordWidth = width;
        else r.playbackChannels = channels, r.playbackWidth = width;
      }
    }
    at += len;
  }
  return r;
}

TEST(Descriptors, DeviceDescriptorCarriesIdentityAndStringIndexes) {
  UsbHost host;
  const testing::Reply d = host.Descriptor(0x01, 0, 18);
  ASSERT_EQ(d.status, UsbStatus::Ok);
  ASSERT_EQ(d.data.size(), 18u);
  EXPECT_EQ(d.data[0], 18);
  EXPECT_EQ(d.data[1], 0x01);
  EXPECT_EQ(d.data[8] | d.data[9] << 8, tqm::kUsbVendorId);
  EXPECT_EQ(d.data[10] | d.data[11] << 8, tqm::kUsbProductId);
  EXPECT_EQ(d.data[14], 1) << "manufacturer string index";
  EXPECT_EQ(d.data[15], 2) << "product string index";
  EXPECT_EQ(d.data[17], 1) << "configurations";
}

TEST(Descriptors, FormatScanFindsStereoBothWaysLastPairWinning) {
  UsbHost host;
  const std::vector<uint8_t> c = ReadConfiguration(host);
  ASSERT_FALSE(c.empty());
  const ScanResult r = DriverFormatScan(c);
  EXPECT_FALSE(r.formatType2) << "a format type 2 descriptor fails the driver's start";
  EXPECT_EQ(r.recordChannels, 2);
  EXPECT_EQ(r.playbackChannels, 2);
  // Record lists 16-bit then 24-bit, playback 24-bit then 16-bit.
  EXPECT_EQ(r.recordWidth, 3);
  EXPECT_EQ(r.playbackWidth, 2);
}

TEST(Descriptors, InterfacesAndAlternateSettingsAsTheDriverExpects) {
  UsbHost host;
  const std::vector<uint8_t> c = ReadConfiguration(host);
  ASSERT_GE(c.size(), 9u);
  EXPECT_EQ(c[4], 4) << "bNumInterfaces";
  EXPECT_EQ(c[5], 1) << "bConfigurationValue";

  // (interface, alternate) -> (class, subclass, endpoints, endpoint address,
  // endpoint type, format channels, subframe bytes, bit resolution, rates)
  struct Alt {
    int cls = -1, subclass = -1, endpoints = -1;
    std::vector<std::pair<int, int>> eps;  // address, attributes
    int channels = 0, subframe = 0, bits = 0;
    std::vector<uint32_t> rates;
    bool endpointFollowsFormat = false;
  };
  std::map<std::pair<int, int>, Alt> alts;
  std::pair<int, int> current{-1, -1};
  bool lastWasFormat = false;
  for (size_t at = 9; at < c.size(); at += c[at]) {
    ASSERT_GT(c[at], 0) << "zero-length descriptor at " << at;
    const uint8_t* d = &c[at];
    if (d[1] == 0x04) {
      current = {d[2], d[3]};
      ASSERT_EQ(alts.count(current), 0u) << "duplicate interface " << int(d[2]) << " alt " << int(d[3]);
      alts[current] = Alt{d[5], d[6], d[4], {}, 0, 0, 0, {}, false};
    } else if (d[1] == 0x05) {
      alts[current].eps.push_back({d[2], d[3]});
      if (lastWasFormat) alts[current].endpointFollowsFormat = true;
    } else if (d[1] == 0x24 && d[2] == 0x02 && current.first >= 2) {
      Alt& a = alts[current];
      a.channels = d[4], a.subframe = d[5], a.bits = d[6];
      for (int i = 0; i < d[7]; ++i) a.rates.push_back(d[8 + 3 * i] | d[9 + 3 * i] << 8 | d[10 + 3 * i] << 16);
    }
    lastWasFormat = d[1] == 0x24 && d[2] == 0x02 && current.first >= 2;
  }

  const std::vector<uint32_t> rates{44100, 48000, 96000};
  struct Row {
    int interface, alternate, cls, subclass, endpoints, endpoint, attributesLowBits, channels,
        subframe, bits;
    const char* why;
  } rows[] = {
      {0, 0, 3, 0, 2, 0x81, 0x03, 0, 0, 0, "HID: interrupt IN (and OUT) for reports"},
      {1, 0, 1, 1, 0, -1, 0, 0, 0, 0, "audio control, no endpoints"},
      {2, 0, 1, 2, 0, -1, 0, 0, 0, 0, "record, zero bandwidth"},
      {2, 1, 1, 2, 1, 0x82, 0x01, 2, 2, 16, "record 16-bit stereo (96 kHz)"},
      {2, 2, 1, 2, 1, 0x82, 0x01, 2, 3, 24, "record 24-bit stereo"},
      {3, 0, 1, 2, 0, -1, 0, 0, 0, 0, "playback, zero bandwidth"},
      {3, 2, 1, 2, 1, 0x03, 0x01, 2, 3, 24, "playback 24-bit stereo"},
      {3, 3, 1, 2, 1, 0x03, 0x01, 2, 2, 16, "playback 16-bit stereo (48 kHz, 16-bit flag)"},
  };
  EXPECT_EQ(alts.size(), std::size(rows)) << "no settings beyond these";
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << "interface " << row.interface << " alt " << row.alternate
                                      << ": " << row.why);
    ASSERT_EQ(alts.count({row.interface, row.alternate}), 1u);
    const Alt& a = alts[{row.interface, row.alternate}];
    EXPECT_EQ(a.cls, row.cls);
    EXPECT_EQ(a.subclass, row.subclass);
    EXPECT_EQ(a.endpoints, row.endpoints);
    EXPECT_EQ(int(a.eps.size()), row.endpoints);
    if (row.endpoint >= 0) {
      ASSERT_FALSE(a.eps.empty());
      EXPECT_EQ(a.eps[0].first, row.endpoint);
      EXPECT_EQ(a.eps[0].second & 0x03, row.attributesLowBits);
    }
    if (row.channels) {
      EXPECT_EQ(a.channels, row.channels);
      EXPECT_EQ(a.subframe, row.subframe);
      EXPECT_EQ(a.bits, row.bits);
      EXPECT_EQ(a.rates, rates);
      EXPECT_TRUE(a.endpointFollowsFormat) << "the driver pairs a format with the next endpoint";
      // The model's table of the same setting agrees with the bytes.
      const StreamingAlt* model = FindStreamingAlt(uint8_t(row.interface), uint8_t(row.alternate));
      ASSERT_NE(model, nullptr);
      EXPECT_EQ(model->subframeBytes, row.subframe);
      EXPECT_EQ(model->endpoint, row.endpoint);
    }
  }
}

TEST(Descriptors, FeatureUnitsOfferMuteOnMasterAndVolumeOnBothChannels) {
  UsbHost host;
  const std::vector<uint8_t> c = ReadConfiguration(host);
  std::map<int, std::vector<int>> units;  // unit id -> bmaControls
  std::vector<int> terminalIds;
  for (size_t at = 9; at < c.size() && c[at]; at += c[at]) {
    const uint8_t* d = &c[at];
    if (d[1] == 0x24 && d[2] == 0x06) units[d[3]] = {d[6], d[7], d[8]};
    if (d[1] == 0x24 && d[2] == 0x02 && c[at] == 12) terminalIds.push_back(d[3]);
  }
  const std::vector<int> expected{0x01, 0x02, 0x02};  // master mute; volume on 1 and 2
  EXPECT_EQ(units[0x10], expected) << "playback unit";
  EXPECT_EQ(units[0x0E], expected) << "record unit";
  for (int id : terminalIds)
    EXPECT_NE(id, 2) << "an input terminal id of 2 reads as format type 2 to the driver's scan";
}

TEST(Descriptors, StringsAndHidReportSizes) {
  UsbHost host;
  struct Row {
    uint8_t index;
    uint16_t language;
    UsbStatus status;
    std::string text;
    const char* why;
  } rows[] = {
      {1, 0, UsbStatus::Ok, "ORU", "manufacturer, language 0 as the driver asks"},
      {2, 0, UsbStatus::Ok, "TQM27", "product, language 0"},
      {2, 0x0409, UsbStatus::Ok, "TQM27", "product, the declared language"},
      {2, 0x0407, UsbStatus::Stall, "", "a language the device does not have"},
      {3, 0, UsbStatus::Stall, "", "no serial number string"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const testing::Reply head = host.Descriptor(0x03, row.index, 4, row.language);
    EXPECT_EQ(head.status, row.status);
    if (row.status != UsbStatus::Ok) continue;
    ASSERT_EQ(head.data.size(), 4u);
    EXPECT_EQ(head.data[1], 0x03);
    const testing::Reply full = host.Descriptor(0x03, row.index, head.data[0], row.language);
    ASSERT_EQ(full.data.size(), head.data[0]);
    std::string text;
    for (size_t i = 2; i + 1 < full.data.size(); i += 2) text.push_back(char(full.data[i]));
    EXPECT_EQ(text, row.text);
  }
  const testing::Reply languages = host.Descriptor(0x03, 0, 255);
  EXPECT_EQ(languages.data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));

  // The report descriptor, read from interface 0, declares 31-byte input and
  // 63-byte output reports without ids: 32 and 64 bytes with the id a host adds.
  ASSERT_EQ(host.Configure(), UsbStatus::Ok);
  const testing::Reply report = host.In(0x81, 0x06, 0x2200, 0, 255);
  ASSERT_EQ(report.status, UsbStatus::Ok);
  int count = 0, size = 0, input = 0, output = 0;
  bool reportIds = false;
  for (size_t at = 0; at < report.data.size();) {
    const uint8_t prefix = report.data[at];
    const size_t n = (prefix & 3) == 3 ? 4 : (prefix & 3);
    const uint32_t v = n ? report.data[at + 1] : 0;
    if ((prefix & 0xFC) == 0x94) count = int(v);
    if ((prefix & 0xFC) == 0x74) size = int(v);
    if ((prefix & 0xFC) == 0x84) reportIds = true;
    if ((prefix & 0xFC) == 0x80) input += count * size / 8;
    if ((prefix & 0xFC) == 0x90) output += count * size / 8;
    at += 1 + n;
  }
  EXPECT_FALSE(reportIds);
  EXPECT_EQ(input + 1, 32) << "InputReportByteLength";
  EXPECT_EQ(output + 1, 64) << "OutputReportByteLength";
}

// A host asking for fewer bytes gets the first ones; descriptors a device does
// not have stall.
TEST(Descriptors, ShortReadsAndUnknownDescriptors) {
  UsbHost host;
  struct Row {
    uint8_t requestType;
    uint16_t value, index, length;
    UsbStatus status;
    size_t bytes;
    const char* why;
  } rows[] = {
      {0x80, 0x0100, 0, 8, UsbStatus::Ok, 8, "first 8 bytes of the device descriptor"},
      {0x80, 0x0100, 0, 64, UsbStatus::Ok, 18, "a longer request gets the 18 there are"},
      {0x80, 0x0200, 0, 1000, UsbStatus::Ok, 336, "the whole configuration"},
      {0x80, 0x0201, 0, 9, UsbStatus::Stall, 0, "there is one configuration"},
      {0x80, 0x0600, 0, 10, UsbStatus::Stall, 0, "no device qualifier: full speed only"},
      {0x80, 0x0101, 0, 18, UsbStatus::Stall, 0, "device descriptor index 1"},
      {0x81, 0x2200, 0, 64, UsbStatus::Stall, 0, "interface descriptors need a configuration"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const testing::Reply r = host.In(row.requestType, 0x06, row.value, row.index, row.length);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.data.size(), row.bytes);
  }
}

TEST(DescriptorFaults, ShortConfigurationFromTheSecondReadOn) {
  UsbHost host;
  DeviceFaults faults;
  faults.shortConfiguration = true;
  host.device.SetFaults(faults);
  const testing::Reply head = host.Descriptor(0x02, 0, 9);
  ASSERT_EQ(head.data.size(), 9u) << "the first read is whole";
  const uint16_t total = uint16_t(head.data[2] | head.data[3] << 8);
  for (int attempt = 0; attempt < 3; ++attempt) {
    const testing::Reply all = host.Descriptor(0x02, 0, total);
    EXPECT_EQ(all.status, UsbStatus::Ok) << "attempt " << attempt;
    EXPECT_EQ(all.data.size(), total / 2u) << "attempt " << attempt << ": short of " << total;
  }
  host.device.SetFaults({});
  EXPECT_EQ(host.Descriptor(0x02, 0, total).data.size(), total) << "whole again without the fault";
}

TEST(DescriptorFaults, MistypedDescriptorCarriesAWrongTypeByte) {
  struct Row {
    uint8_t faultType;
    uint8_t type;
    uint16_t length;
    uint8_t expectedByte1;
    const char* why;
  } rows[] = {
      {0x01, 0x01, 18, 0x81, "device descriptor mistyped"},
      {0x01, 0x02, 9, 0x02, "other descriptors stay right"},
      {0x02, 0x02, 9, 0x82, "configuration descriptor mistyped"},
      {0x03, 0x03, 4, 0x83, "string descriptor mistyped"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    UsbHost host;
    DeviceFaults faults;
    faults.mistypedDescriptor = row.faultType;
    host.device.SetFaults(faults);
    const testing::Reply r = host.Descriptor(row.type, row.type == 3 ? 1 : 0, row.length);
    ASSERT_EQ(r.status, UsbStatus::Ok);
    ASSERT_EQ(r.data.size(), row.length);
    EXPECT_EQ(r.data[1], row.expectedByte1);
  }
}

}  // namespace
}  // namespace tqm::usb
