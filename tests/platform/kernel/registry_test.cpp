// The registry as the driver uses it: a device's driver key opened by handle,
// a value written with one type and read back as full information, and the
// simulator's file persistence.
#include "platform/kernel/registry.h"

#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "tests/platform/kernel/kernel_fixture.h"

namespace tqm::kernel::testing {
namespace {

struct RegistryDevice {
  explicit RegistryDevice(Machine& machine) : stack(machine, 2) {
    machine.RegisterPhysicalDevice(stack[0].device, L"USB\\VID_0A4B&PID_0027\\5&1");
  }
  TestStack stack;
};

TEST(Registry, ValueKeepsItsTypeAndReadsBackAsFullInformation) {
  Machine machine;
  RegistryDevice d(machine);
  HANDLE key;
  ASSERT_EQ(IoOpenDeviceRegistryKey(d.stack.top().device, PLUGPLAY_REGKEY_DRIVER, STANDARD_RIGHTS_ALL, &key),
            STATUS_SUCCESS);
  uint8_t record[276];
  for (size_t i = 0; i < sizeof record; ++i) record[i] = uint8_t(i * 7);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"Mixer");
  // The 32-bit number type with 276 bytes of data: the type stays as given.
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, record, sizeof record), STATUS_SUCCESS);

  const ULONG nameBytes = 5 * sizeof(WCHAR);
  const ULONG dataOffset = (FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + nameBytes + 7) & ~7u;
  std::vector<uint8_t> buffer(dataOffset + sizeof record);
  ULONG length = 0;
  ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer.data(), ULONG(buffer.size()), &length),
            STATUS_SUCCESS);
  auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
  EXPECT_EQ(length, buffer.size());
  EXPECT_EQ(info->Type, ULONG(REG_DWORD));
  EXPECT_EQ(info->DataLength, sizeof record);
  EXPECT_EQ(info->NameLength, nameBytes);
  EXPECT_EQ(std::wstring(info->Name, 5), L"Mixer");
  EXPECT_EQ(info->DataOffset, dataOffset);
  EXPECT_EQ(memcmp(buffer.data() + info->DataOffset, record, sizeof record), 0);

  // One byte short: the header is filled and the length needed reported.
  std::vector<uint8_t> small(buffer.size() - 1, 0xEE);
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, small.data(), ULONG(small.size()), &length),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(length, buffer.size());
  EXPECT_EQ(reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(small.data())->DataLength, sizeof record);
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, small.data(), 4, &length),
            STATUS_BUFFER_TOO_SMALL);

  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, L"Missing");
  EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValueFullInformation, buffer.data(), ULONG(buffer.size()), &length),
            STATUS_OBJECT_NAME_NOT_FOUND);
  // Value names do not depend on case.
  UNICODE_STRING upper;
  RtlInitUnicodeString(&upper, L"MIXER");
  EXPECT_EQ(ZwQueryValueKey(key, &upper, KeyValuePartialInformation, buffer.data(), ULONG(buffer.size()), &length),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, record, 4), STATUS_INVALID_HANDLE);

  const std::wstring path = machine.DeviceKeyPath(d.stack[1].device, PLUGPLAY_REGKEY_DRIVER);
  const auto stored = machine.registry().GetValue(path, L"Mixer");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->data.size(), sizeof record);
}

TEST(Registry, DeviceWithoutADeviceNodeHasNoKeys) {
  Machine machine;
  TestStack stack(machine, 1);
  HANDLE key;
  EXPECT_EQ(IoOpenDeviceRegistryKey(stack[0].device, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key),
            STATUS_INVALID_DEVICE_REQUEST);
}

TEST(Registry, FileKeepsValuesAcrossMachines) {
  const std::string file =
      (std::filesystem::temp_directory_path() / ("tqm-registry-" + std::to_string(::getpid()))).string();
  std::remove(file.c_str());
  const uint32_t value = 0x12345678;
  {
    Machine machine;
    ASSERT_TRUE(machine.registry().AttachFile(file));
    RegistryDevice d(machine);
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(d.stack[0].device, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Level");
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, const_cast<uint32_t*>(&value), sizeof value),
              STATUS_SUCCESS);
    ZwClose(key);
  }
  Machine machine;
  ASSERT_TRUE(machine.registry().AttachFile(file));
  const auto stored = machine.registry().GetValue(
      L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_0A4B&PID_0027\\5&1\\Device Parameters",
      L"level");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, ULONG(REG_BINARY));
  ASSERT_EQ(stored->data.size(), sizeof value);
  uint32_t read;
  memcpy(&read, stored->data.data(), sizeof read);
  EXPECT_EQ(read, value);
  std::remove(file.c_str());
}

}  // namespace
}  // namespace tqm::kernel::testing
