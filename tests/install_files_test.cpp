// The install files beside the images in dist/: the entries each host's
// setup needs, read back section by section.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string kDist = KAV_DIST_DIR;

std::string ReadFile(const std::string &name) {
  std::ifstream in(kDist + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Trim(const std::string &text) {
  size_t first = text.find_first_not_of(" \t");
  size_t last = text.find_last_not_of(" \t");
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// Section name (as written) -> its lines, trimmed, without comments.
std::map<std::string, std::vector<std::string>> Sections(const std::string &text) {
  std::map<std::string, std::vector<std::string>> sections;
  std::string current;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(start, end - start);
    start = end + 2;
    if (!line.empty() && line[0] != ';' && line.find(';') != std::string::npos &&
        line.find('"') == std::string::npos) {
      line = line.substr(0, line.find(';'));
    }
    line = Trim(line);
    if (line.empty() || line[0] == ';') {
      continue;
    }
    if (line.front() == '[' && line.back() == ']') {
      current = line.substr(1, line.size() - 2);
      sections[current];
    } else {
      sections[current].push_back(line);
    }
  }
  return sections;
}

bool Has(const std::vector<std::string> &lines, const std::string &line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class InstallFiles : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char *name : {"OEMSETUP.INF", "TXTSETUP.OEM", "KAV95.INF"}) {
      if (ReadFile(name).empty()) {
        GTEST_SKIP() << kDist << "/" << name << " is not built: ./kav build";
      }
    }
  }
};

TEST_F(InstallFiles, HaveWindowsLineEndsAndNoUnfilledFields) {
  for (const char *name : {"OEMSETUP.INF", "TXTSETUP.OEM", "KAV95.INF"}) {
    SCOPED_TRACE(name);
    std::string text = ReadFile(name);
    size_t lineFeeds = std::count(text.begin(), text.end(), '\n');
    size_t pairs = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) {
      pairs++;
    }
    EXPECT_GT(lineFeeds, 10u);
    EXPECT_EQ(pairs, lineFeeds) << "every line ends in CR LF";
    EXPECT_EQ(text.find('@'), std::string::npos) << "a build field was left unfilled";
    EXPECT_NE(text.find("VELMO System Inc."), std::string::npos);
  }
}

TEST_F(InstallFiles, TextModeSetupInstallsTheMiniportServiceWithItsOptionString) {
  auto sections = Sections(ReadFile("TXTSETUP.OEM"));
  // The [scsi] line ends with the key name: the service kavnt.
  ASSERT_EQ(sections["scsi"].size(), 1u);
  const std::string &option = sections["scsi"][0];
  EXPECT_EQ(option.substr(0, 8), "KAVNT = ");
  EXPECT_EQ(option.substr(option.size() - 7), ", kavnt");
  EXPECT_TRUE(Has(sections["Defaults"], "scsi = KAVNT"));
  EXPECT_TRUE(Has(sections["Files.scsi.KAVNT"], "driver = d1, KAVNT.SYS, kavnt"));
  EXPECT_TRUE(Has(sections["Files.scsi.KAVNT"], "inf    = d1, OEMSETUP.INF"));
  const std::vector<std::string> &config = sections["Config.kavnt"];
  EXPECT_TRUE(Has(config, "value = \"\", Type, REG_DWORD, 1"));
  EXPECT_TRUE(Has(config, "value = \"\", Start, REG_DWORD, 0"));
  EXPECT_TRUE(Has(config, "value = \"\", ErrorControl, REG_DWORD, 1"));
  EXPECT_TRUE(Has(config, "value = \"\", Group, REG_SZ, \"SCSI Miniport\""));
  EXPECT_TRUE(Has(config, "value = Parameters\\Device, DriverParameter, REG_SZ, \"\""));
  ASSERT_EQ(sections["Disks"].size(), 1u);
  EXPECT_NE(sections["Disks"][0].find("\\KAVNT.SYS"), std::string::npos);
}

TEST_F(InstallFiles, TheControlPanelInstallCreatesTheServiceAndTheCardEntry) {
  std::string text = ReadFile("OEMSETUP.INF");
  auto sections = Sections(text);
  EXPECT_TRUE(Has(sections["Identification"], "OptionType = SCSI"));
  EXPECT_TRUE(Has(sections["Options"], "\"KAVNT\" = kavnt"));
  EXPECT_TRUE(Has(sections["Files-KAVNT"], "1, KAVNT.SYS"));
  for (const char *entry : {"Identify", "ReturnOptions", "InstallOption", "KavCreateService",
                            "KavAddCardDatabaseEntry"}) {
    EXPECT_FALSE(sections[entry].empty()) << entry;
  }
  const std::vector<std::string> &service = sections["KavCreateService"];
  EXPECT_TRUE(Has(service, "SetRegValue $(ServiceKey) {Type, 0, $(KavRegDword), 1}"));
  EXPECT_TRUE(Has(service, "SetRegValue $(ServiceKey) {Start, 0, $(KavRegDword), 0}"));
  EXPECT_TRUE(Has(service, "SetRegValue $(ServiceKey) {ErrorControl, 0, $(KavRegDword), 1}"));
  EXPECT_TRUE(Has(service, "SetRegValue $(ServiceKey) {Group, 0, $(KavRegSz), \"SCSI Miniport\"}"));
  EXPECT_TRUE(Has(service, "OpenRegKey $(ServiceKey) \"\" \"Parameters\\Device\" "
                           "$(KavKeyAllAccess) DeviceKey"));
  EXPECT_TRUE(Has(
      service, "SetRegValue $(DeviceKey) {DriverParameter, 0, $(KavRegSz), $(DriverParameter)}"));
  const std::vector<std::string> &settings = sections["KavSettings"];
  EXPECT_TRUE(Has(settings, "ServiceName      = \"kavnt\""));
  EXPECT_TRUE(Has(settings, "CardManufacturer = \"VELMO System Inc.\""));
  EXPECT_TRUE(Has(settings, "CardProduct      = \"MEDIA/SCSI2 CARD 41\""));
  const std::vector<std::string> &registry = sections["KavRegistry"];
  EXPECT_TRUE(Has(registry, "KavRegSz         = 1"));
  EXPECT_TRUE(Has(registry, "KavRegDword      = 4"));
  EXPECT_NE(text.find("\"SYSTEM\\CurrentControlSet\\Services\\Pcmcia\""), std::string::npos);
  EXPECT_TRUE(Has(sections["KavAddCardDatabaseEntry"],
                  "SetRegValue $(ProductKey) {Driver, 0, $(KavRegSz), $(ServiceName)}"));
}

TEST_F(InstallFiles, TheWindows95InfLoadsThePortDriverThroughTheIoSupervisor) {
  auto sections = Sections(ReadFile("KAV95.INF"));
  const std::vector<std::string> &version = sections["Version"];
  EXPECT_TRUE(Has(version, "Signature=\"$CHICAGO$\""));
  EXPECT_TRUE(Has(version, "Class=SCSIAdapter"));
  ASSERT_EQ(sections["Velmo"].size(), 1u);
  EXPECT_NE(sections["Velmo"][0].find(",PCMCIA\\VELMO_SYSTEM_INC.-MEDIA/SCSI2_CARD_41"),
            std::string::npos);
  EXPECT_TRUE(Has(sections["DestinationDirs"], "KAV95.CopyFiles=12"));
  EXPECT_TRUE(Has(sections["KAV95.CopyFiles"], "KAV95.MPD"));
  const std::vector<std::string> &reg = sections["KAV95.AddReg"];
  EXPECT_TRUE(Has(reg, "HKR,,DevLoader,0,*IOS"));
  EXPECT_TRUE(Has(reg, "HKR,,PortDriver,0,KAV95.MPD"));
  EXPECT_TRUE(Has(reg, "HKR,,Settings,0,\"\""));
  EXPECT_TRUE(Has(sections["KAV95.Install"], "CopyFiles=KAV95.CopyFiles"));
  EXPECT_TRUE(Has(sections["KAV95.Install"], "AddReg=KAV95.AddReg"));
}

} // namespace
