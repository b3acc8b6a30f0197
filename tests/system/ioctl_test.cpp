// tqm27sim's raw command path: field parsing, the caller blocks it makes, and
// the device states it puts the driver in before the command goes.
#include <gtest/gtest.h>

#include "platform/sim/device_client.h"
#include "platform/sim/raw_command.h"

namespace tqm::sim {
namespace {

TEST(RawCommand, FieldAssignmentsParseOrSayWhy) {
  struct Row {
    const char* text;
    bool ok;
    FieldAssignment::Kind kind;
    uint32_t offset;
    uint64_t value;
  };
  const Row rows[] = {
      // A byte offset and a decimal value: one 32-bit word.
      {"40=256", true, FieldAssignment::Kind::Word, 40, 256},
      // A name for the same field, a hexadecimal value.
      {"latency=0x100", true, FieldAssignment::Kind::Word, 40, 256},
      // Named slots are 8 bytes wide.
      {"halfaddress=4096", true, FieldAssignment::Kind::Slot, 48, 4096},
      // An offset made a slot by hand.
      {"72:8=5", true, FieldAssignment::Kind::Slot, 72, 5},
      // A fresh event handle for an event slot.
      {"event=new", true, FieldAssignment::Kind::NewEvent, 16, 0},
      // A word of the settings block.
      {"mixer.2=6", true, FieldAssignment::Kind::MixerWord, 2, 6},
      // No value.
      {"40", false, FieldAssignment::Kind::Word, 0, 0},
      // Unknown name.
      {"volume=3", false, FieldAssignment::Kind::Word, 0, 0},
      // Misaligned word, slot not on 8 bytes, beyond the record.
      {"41=1", false, FieldAssignment::Kind::Word, 0, 0},
      {"36:8=1", false, FieldAssignment::Kind::Word, 0, 0},
      {"128=1", false, FieldAssignment::Kind::Word, 0, 0},
      // An event handle does not fit in a word; a settings word beyond 68.
      {"latency=new", false, FieldAssignment::Kind::Word, 0, 0},
      {"mixer.69=1", false, FieldAssignment::Kind::Word, 0, 0},
      {"latency=12x", false, FieldAssignment::Kind::Word, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    FieldAssignment f;
    std::string error;
    EXPECT_EQ(ParseFieldAssignment(row.text, &f, &error), row.ok) << error;
    if (!row.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(f.kind, row.kind);
    EXPECT_EQ(f.offset, row.offset);
    EXPECT_EQ(f.value, row.value);
  }
}

FieldAssignment Field(const char* text) {
  FieldAssignment f;
  std::string error;
  EXPECT_TRUE(ParseFieldAssignment(text, &f, &error)) << error;
  return f;
}

TEST(RawCommand, CommandsReachTheDriverInTheChosenState) {
  struct Row {
    const char* why;
    RawCommand command;
    NTSTATUS status;
    uint32_t offset;  // a reply word to check (0: none)
    uint32_t value;
  };
  const Row rows[] = {
      // The identity probe with the clients' fill: 1 and 0 come back.
      {"identify", {1, 1, {Field("major=255"), Field("minor=255")}, DeviceStateChoice::Started},
       STATUS_SUCCESS, 12, 1},
      // The period of a fresh device: the driver's default.
      {"latency", {3, 5, {}, DeviceStateChoice::Started}, STATUS_SUCCESS, 40, 256},
      // After surprise removal only the unmap/release commands pass.
      {"latency, surprise-removed", {3, 5, {}, DeviceStateChoice::SurpriseRemoved},
       STATUS_INVALID_DEVICE_REQUEST, 0, 0},
      {"unmap, surprise-removed", {3, 3, {Field("mapflag=0")}, DeviceStateChoice::SurpriseRemoved}, STATUS_SUCCESS,
       0, 0},
      // Stopped part-way by the Plug and Play manager: nothing passes.
      {"latency, stop-pending", {3, 5, {}, DeviceStateChoice::StopPending}, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
      // An unknown class.
      {"class 4", {4, 1, {}, DeviceStateChoice::Started}, STATUS_INVALID_PARAMETER, 0, 0},
      // A rate event made in the sending process.
      {"rate event", {3, 7, {Field("notify=new")}, DeviceStateChoice::Started}, STATUS_SUCCESS, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    RawReply reply;
    std::string error;
    ASSERT_TRUE(SendRawCommand(row.command, &reply, &error)) << error;
    EXPECT_EQ(reply.status, row.status) << StatusText(reply.status);
    if (row.offset) {
      EXPECT_EQ(reply.reply.Get32(row.offset), row.value);
    }
  }
}

TEST(RawCommand, CallerBlocksAreMadeInTheSendingProcess) {
  RawReply settings;
  std::string error;
  ASSERT_TRUE(SendRawCommand({3, 1, {}, DeviceStateChoice::Started}, &settings, &error)) << error;
  ASSERT_TRUE(settings.settings.has_value()) << "GetSettings got a block to fill";
  EXPECT_EQ(settings.settings->rate, 44100) << "a fresh device starts at the driver's defaults";
  EXPECT_EQ(settings.settings->periodFrames, 256);

  RawReply shared;
  ASSERT_TRUE(SendRawCommand({2, 5, {Field("length=8192")}, DeviceStateChoice::Started}, &shared, &error)) << error;
  EXPECT_EQ(shared.status, STATUS_SUCCESS) << StatusText(shared.status);
  ASSERT_TRUE(shared.cell.has_value());
  EXPECT_NE(*shared.cell, 0u) << "the SharedBuffer's address was written to the cell";
}

}  // namespace
}  // namespace tqm::sim
