#include <gtest/gtest.h>

#include "tqm/command_record.h"

namespace {

TEST(ControlCode, DecodesToBusExtenderBufferedAnyAccess) {
  constexpr uint32_t code = tqm::kCommandControlCode;
  EXPECT_EQ(code, 0x2A3BB8u);
  EXPECT_EQ(tqm::ControlCodeDeviceType(code), 0x2Au);  // FILE_DEVICE_BUS_EXTENDER
  EXPECT_EQ(tqm::ControlCodeFunction(code), 0xEEEu);
  EXPECT_EQ(tqm::ControlCodeMethod(code), 0u);  // METHOD_BUFFERED
  EXPECT_EQ(tqm::ControlCodeAccess(code), 0u);  // FILE_ANY_ACCESS
}

TEST(CommandRecord, FieldsAreLittleEndianAtTheirOffsets) {
  tqm::CommandRecord record{};
  record.Set32(tqm::Field::Class, tqm::CMD_CLASS_STREAM);
  record.Set32(tqm::Field::SubOp, tqm::StreamOp::SetClientBuffer);
  record.SetSlot(tqm::Field::HalfAddress, 0x0011223344556677ull);
  record.Set32(tqm::Field::Stride, 1);

  EXPECT_EQ(record.bytes[0], 2);
  EXPECT_EQ(record.bytes[8], 3);
  // the slot's low word first, then its high word, then the stride right after it
  const uint8_t expected[] = {0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00, 1, 0, 0, 0};
  for (size_t i = 0; i < sizeof expected; ++i)
    EXPECT_EQ(record.bytes[48 + i], expected[i]) << "byte " << 48 + i;
  EXPECT_EQ(record.GetSlot(tqm::Field::HalfAddress), 0x0011223344556677ull);
}

// A 32-bit driver reads only the low four bytes of a slot; a 64-bit client writes
// all eight. The high half must not alias any field of the same command.
TEST(CommandRecord, SlotHighHalvesOverlapNoFieldOfTheirCommand) {
  struct Case {
    const char* command;
    uint32_t slot;
    uint32_t otherField;
  };
  const Case cases[] = {
      {"2.3 address/stride", tqm::Field::HalfAddress, tqm::Field::Stride},
      {"2.3 address/half", tqm::Field::HalfAddress, tqm::Field::Half},
      {"2.14 address/token", tqm::Field::StatusAddress, tqm::Field::StatusToken},
      {"3.3 token/map flag", tqm::Field::StatusToken, tqm::Field::MapFlag},
      {"2.5 cell/length", tqm::Field::SharedCell, tqm::Field::SharedLength},
      {"2.5 cell/result80", tqm::Field::SharedCell, tqm::Field::ActiveClient},
      {"3.2 address/map flag", tqm::Field::SettingsAddress, tqm::Field::MapFlag},
  };
  for (const Case& c : cases) {
    const bool overlaps = c.otherField + 4 > c.slot && c.otherField < c.slot + 8;
    EXPECT_FALSE(overlaps) << c.command << ": slot " << c.slot << " field " << c.otherField;
  }
}

}  // namespace
