// The driver package's INF as the build made it: every section it names
// exists, every string resolves, and what it installs is what the driver and
// its clients expect (hardware id, service, interface class, version).
#include "tests/package/inf_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tqm/command_record.h"
#include "tqm/identity.h"

namespace {

using tqm::package::InfFile;
using tqm::package::Lower;

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string GuidText(const tqm::Guid128& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1, g.data2, g.data3,
                g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

class DriverInf : public ::testing::Test {
 protected:
  void SetUp() override {
    text_ = ReadFile(TQM_DRIVER_INF);
    ASSERT_FALSE(text_.empty()) << TQM_DRIVER_INF;
    inf_ = InfFile::Parse(text_);
  }
  // The one value of a key, expanded.
  std::string Value(const std::string& section, const std::string& key) {
    const auto values = inf_.Values(section, key);
    if (!values || values->empty()) {
      ADD_FAILURE() << "[" << section << "] has no " << key;
      return {};
    }
    return inf_.Expand((*values)[0]);
  }
  std::string text_;
  InfFile inf_;
};

TEST_F(DriverInf, ParsesCleanlyWithWindowsLineEnds) {
  EXPECT_TRUE(inf_.errors().empty()) << inf_.errors().front();
  EXPECT_NE(text_.find("\r\n"), std::string::npos);
  EXPECT_EQ(text_.find("@"), std::string::npos) << "a template variable was left unreplaced";
  // Every %token% of every line resolves.
  for (const std::string& name : inf_.SectionNames())
    for (const auto& line : inf_.Section(name))
      for (const std::string& v : line.values) {
        std::vector<std::string> missing;
        inf_.Expand(v, &missing);
        EXPECT_TRUE(missing.empty()) << "[" << name << "] line " << line.number << ": %" << missing.front() << "%";
      }
}

TEST_F(DriverInf, VersionAndProvider) {
  EXPECT_EQ(Value("Version", "Signature"), "$Windows NT$");
  EXPECT_EQ(Value("Version", "Provider"), "ORU");
  const auto driverVer = inf_.Values("Version", "DriverVer");
  ASSERT_TRUE(driverVer && driverVer->size() == 2);
  EXPECT_EQ((*driverVer)[0], TQM_DRIVER_DATE);
  EXPECT_EQ((*driverVer)[1], TQM_DRIVER_VERSION);
  // The version's first two parts are the ones the driver reports.
  char expect[32];
  std::snprintf(expect, sizeof expect, "%u.%u.", tqm::kDriverVersionMajor, tqm::kDriverVersionMinor);
  EXPECT_EQ((*driverVer)[1].rfind(expect, 0), 0u) << (*driverVer)[1];
}

// From the manufacturer to the service: each reference names a section that
// exists, and the ends are the identifiers in common/.
TEST_F(DriverInf, ReferencesResolveToTheDriversIdentifiers) {
  const auto& manufacturers = inf_.Section("Manufacturer");
  ASSERT_EQ(manufacturers.size(), 1u);
  EXPECT_EQ(inf_.Expand(manufacturers[0].key), "ORU");
  const auto& m = manufacturers[0].values;
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(Lower(m[1]), "ntamd64");
  const std::string models = m[0] + "." + m[1];
  ASSERT_TRUE(inf_.HasSection(models)) << models;
  const auto& devices = inf_.Section(models);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(inf_.Expand(devices[0].key), "TQM27 Controller driver");
  ASSERT_EQ(devices[0].values.size(), 2u);
  EXPECT_EQ(devices[0].values[1], tqm::kHardwareId);
  const std::string install = devices[0].values[0] + ".NTamd64";
  ASSERT_TRUE(inf_.HasSection(install)) << install;

  // Files: each CopyFiles section exists, each file in it comes from a disk.
  const auto copy = inf_.Values(install, "CopyFiles");
  ASSERT_TRUE(copy);
  for (const std::string& section : *copy) {
    ASSERT_TRUE(inf_.HasSection(section)) << section;
    for (const auto& file : inf_.Section(section)) {
      ASSERT_FALSE(file.values.empty());
      const auto disk = inf_.Values("SourceDisksFiles", file.values[0]);
      ASSERT_TRUE(disk) << file.values[0];
      EXPECT_TRUE(inf_.Values("SourceDisksNames", (*disk)[0])) << "disk " << (*disk)[0];
    }
  }
  EXPECT_TRUE(inf_.Values("DestinationDirs", "DefaultDestDir"));

  // The service.
  const auto service = inf_.Values(install + ".Services", "AddService");
  ASSERT_TRUE(service && service->size() == 3);
  EXPECT_EQ((*service)[0], tqm::kServiceName);
  EXPECT_EQ(std::stoul((*service)[1], nullptr, 0), 2u) << "the service is the device's function driver";
  const std::string serviceSection = (*service)[2];
  ASSERT_TRUE(inf_.HasSection(serviceSection));
  EXPECT_EQ(Value(serviceSection, "ServiceType"), "1");   // kernel driver
  EXPECT_EQ(Value(serviceSection, "StartType"), "3");     // demand start
  EXPECT_EQ(Value(serviceSection, "ErrorControl"), "1");
  EXPECT_EQ(Value(serviceSection, "ServiceBinary"), "%12%\\TQMDRV.sys");
  EXPECT_NE(std::string(tqm::kServiceKeyPath).find(tqm::kServiceName), std::string::npos);

  // The device-interface class the clients enumerate.
  const auto iface = inf_.Values(install + ".Interfaces", "AddInterface");
  ASSERT_TRUE(iface && iface->size() == 3);
  EXPECT_EQ(Lower((*iface)[0]), Lower(GuidText(tqm::kInterfaceGuid)));
  EXPECT_TRUE(inf_.HasSection((*iface)[2]));
}

// The reader itself, on the shapes an INF may take.
TEST(InfReader, CommentsQuotesAndErrors) {
  struct Row {
    const char* text;
    size_t errors;
    const char* section;
    const char* key;
    std::vector<std::string> values;
  };
  const Row rows[] = {
      {"[A]\nk = v ; comment\n", 0, "a", "k", {"v"}},
      {"[A]\nk = \"x; y\", z\n", 0, "A", "k", {"x; y", "z"}},
      {"[A]\nk = \"say \"\"hi\"\"\"\n", 0, "a", "K", {"say \"hi\""}},
      {"[A]\r\nk=1,,3\r\n", 0, "a", "k", {"1", "", "3"}},
      {"k = v\n[A]\nk = w\n", 1, "a", "k", {"w"}},
      {"[A]\nk = \"open\n", 1, "a", "k", {"open"}},
      {"[A]\n[a]\nk = v\n", 1, "a", "k", {"v"}},
      {"[A\nk = v\n", 2, "a", "k", {}},
  };
  for (const Row& row : rows) {
    const InfFile inf = InfFile::Parse(row.text);
    EXPECT_EQ(inf.errors().size(), row.errors) << row.text;
    const auto values = inf.Values(row.section, row.key);
    if (row.values.empty()) {
      EXPECT_FALSE(values) << row.text;
    } else if (values) {
      EXPECT_EQ(*values, row.values) << row.text;
    } else {
      ADD_FAILURE() << row.text;
    }
  }
  const InfFile inf = InfFile::Parse("[Strings]\nName = \"ORU\"\n");
  std::vector<std::string> missing;
  EXPECT_EQ(inf.Expand("%name% at %12%\\x, 100%%", &missing), "ORU at %12%\\x, 100%");
  EXPECT_TRUE(missing.empty());
  EXPECT_EQ(inf.Expand("%Other%", &missing), "");
  EXPECT_EQ(missing, std::vector<std::string>{"Other"});
}

}  // namespace
