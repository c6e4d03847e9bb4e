// Option strings of both flavours: KAVNT's first-occurrence passes with
// either case per letter, KAV95's single left-to-right pass with its resume
// positions. Every string ends right before an unreadable page.
#include "driver_fixture.h"
#include "page_end_string.h"

#include <string>
#include <vector>

namespace {

struct OptionCase {
  const char *text;
  uint8_t asyncNt; // bit t: AsyncOnly[t] == 1 in KAVNT
  uint8_t async95; // the same in KAV95
  // KAV95 only:
  uint32_t pcicBase = 0x3E0;
  uint8_t socket = 0;
  uint8_t cirrus = 0;
  uint8_t tp560 = 0;
};

const std::string k80Spaces(80, ' ');
const std::string k79Spaces(79, ' ');

const std::vector<OptionCase> kCases = {
    {"", 0, 0},
    {"/AS1 /AS2", 1 << 1, (1 << 1) | (1 << 2)},
    {"-as6", 1 << 6, 1 << 6},
    {"/As6", 1 << 6, 0},
    {"/AS9", 1 << 1, 1 << 1},
    {"/AS", 1 << 0, 1 << 0},
    {"/AS7", 1 << 7, 1 << 7},
    {"/ND-AS1", 1 << 1, 0},
    {"/ND1-AS1", 1 << 1, 1 << 1},
    {"/PCICADR=3E2", 0, 0, 0x3E2},
    {"/PCICADR=3E", 0, 0, 0x3E},
    {"/PCICADR=", 0, 0, 0},
    {"/pcicadr=03e4", 0, 0, 0x3E4},
    {"/PCICADR=1/AS2", 1 << 2, 1 << 2, 0x1A},
    {"/MEMBASE=C800", 0, 0},
    {"/SLOT=2 /CIRRUS", 0, 0, 0x3E0, 2, 1},
    {"/SLOT=0", 0, 0, 0x3E0, 0},
    {"/SLOT=", 0, 0, 0x3E0, 0},
    {"/SLOT=1 /SLOT=2", 0, 0, 0x3E0, 2},
    {"/slot=1 /tp560", 0, 0, 0x3E0, 1, 0, 1},
    {"/Slot=1 /Tp560 /Cirrus", 0, 0},
    {"-SLOT=1 -TP560 -AS3", 1 << 3, 1 << 3, 0x3E0, 1, 0, 1},
    {"xx/as5yy", 1 << 5, 1 << 5},
};

class Options : public ::testing::Test {
protected:
  drv::HW_DEVICE_EXTENSION Read(const std::string &text) {
    sim::PortDriverConfig config;
    config.argumentString = text;
    config.skipInitialize = true;
    LoadedDriver driver(config);
    driver.load();
    EXPECT_EQ(driver.portDriver->findAdapterResult(), SP_RETURN_FOUND);
    EXPECT_TRUE(driver.portDriver->violations().empty());
    return driver.extension();
  }

  // The option pass alone, on a string ending right before an unreadable page.
  drv::HW_DEVICE_EXTENSION ReadAtPageEnd(const std::string &text) {
    sim::Machine machine;
    sim::PortDriver portDriver(machine, {});
    PageEndString guarded(text);
    drv::HW_DEVICE_EXTENSION ext{};
    PORT_CONFIGURATION_INFORMATION info{};
    info.AdapterInterfaceType = drv::FLAVOUR_INTERFACE_TYPE;
    sim::PortDriver::CallScope scope(portDriver);
    drv::SetOptionDefaults(&ext);
    drv::ReadOptions(&ext, guarded.get(), &info);
    return ext;
  }
};

uint8_t AsyncMask(const drv::HW_DEVICE_EXTENSION &ext) {
  uint8_t mask = 0;
  for (int target = 0; target < 8; target++) {
    EXPECT_LE(ext.AsyncOnly[target], 1);
    mask |= ext.AsyncOnly[target] ? (1 << target) : 0;
  }
  return mask;
}

void ExpectCase(const OptionCase &option, const drv::HW_DEVICE_EXTENSION &ext) {
  EXPECT_EQ(AsyncMask(ext), kIs95 ? option.async95 : option.asyncNt);
#ifdef KAV_FLAVOUR_95
  EXPECT_EQ(ext.PcicBase, option.pcicBase);
  EXPECT_EQ(ext.Socket, option.socket);
  EXPECT_EQ(ext.Cirrus, option.cirrus);
  EXPECT_EQ(ext.Tp560, option.tp560);
#endif
}

TEST_F(Options, TableOfOptionStrings) {
  for (const OptionCase &option : kCases) {
    SCOPED_TRACE(std::string("options \"") + option.text + "\"");
    ExpectCase(option, Read(option.text));
    ExpectCase(option, ReadAtPageEnd(option.text));
  }
}

TEST_F(Options, OnlyPositionsBelow80StartAKeyword) {
  EXPECT_EQ(AsyncMask(ReadAtPageEnd(k80Spaces + "/AS3")), 0);
  EXPECT_EQ(AsyncMask(ReadAtPageEnd(k79Spaces + "/AS3")), 1 << 3);
  EXPECT_EQ(AsyncMask(Read(k80Spaces + "/AS3")), 0);
}

TEST_F(Options, NoArgumentStringKeepsEveryDefault) {
  LoadedDriver driver([] {
    sim::PortDriverConfig config;
    config.skipInitialize = true;
    return config;
  }());
  driver.load();
  EXPECT_EQ(driver.portDriver->findAdapterResult(), SP_RETURN_FOUND);
  OptionCase defaults{"", 0, 0};
  ExpectCase(defaults, driver.extension());
}

#ifdef KAV_FLAVOUR_95
TEST(OptionHelpers, MatchKeywordComparesCaseSensitively) {
  EXPECT_EQ(drv::MatchKeyword("CIRRUS", "CIRRUS", 6), 0u);
  EXPECT_EQ(drv::MatchKeyword("CIRRUs", "CIRRUS", 6), 1u);
  EXPECT_EQ(drv::MatchKeyword("CIR", "CIRRUS", 6), 1u); // stops at the NUL
  EXPECT_EQ(drv::MatchKeyword("ASx", "AS", 2), 0u);
}

TEST(OptionHelpers, ParseHexFieldSkipsWhatIsNotADigit) {
  struct {
    const char *text;
    LONG value;
  } cases[] = {
      {"3E0 ", 0x3E0}, {"C800", 0xC800}, {"c800", 0xC800}, {"1/AS", 0x1A},
      {"ffff", 0xFFFF}, {"zz9z", 0x9},   {"", 0},          {"3", 0x3},
  };
  for (const auto &hex : cases) {
    PageEndString guarded(hex.text);
    EXPECT_EQ(drv::ParseHexField(guarded.get(), 4), hex.value) << hex.text;
  }
}
#endif

} // namespace
