// The PE loader: where the shipped images land, how their imports are
// bound (and the one routine whose return value needs a thunk between the
// two i386 ABIs), the protection of their pages, and images it must refuse.
#include "pe_file.h"
#include "pe_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

namespace {

const std::string kDist = KAV_DIST_DIR;
const char *const kImages[] = {"KAVNT.SYS", "KAV95.MPD"};

std::vector<uint8_t> ReadImage(const std::string &name) {
  std::ifstream in(kDist + "/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::unique_ptr<sim::LoadedImage> Load(const std::string &name, std::string &error) {
  return sim::LoadedImage::load(kDist + "/" + name, sim::ScsiPortExports(), error);
}

void *ExportAddress(const std::string &name) {
  for (const sim::ScsiPortExport &e : sim::ScsiPortExports()) {
    if (name == e.name) {
      return e.address;
    }
  }
  return nullptr;
}

// The protection of the page holding `address`, as "r-x", "rw-"...
std::string PageProtection(const void *address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  uintptr_t at = reinterpret_cast<uintptr_t>(address);
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, permissions;
    fields >> range >> permissions;
    uintptr_t start = std::stoul(range.substr(0, range.find('-')), nullptr, 16);
    uintptr_t end = std::stoul(range.substr(range.find('-') + 1), nullptr, 16);
    if (at >= start && at < end) {
      return permissions.substr(0, 3);
    }
  }
  return "unmapped";
}

TEST(PeLoader, LoadsBothImagesAwayFromTheirPreferredBase) {
  for (const char *name : kImages) {
    SCOPED_TRACE(name);
    std::string error;
    std::unique_ptr<sim::LoadedImage> image = Load(name, error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(image->preferredBase(), 0x10000u);
    EXPECT_NE(reinterpret_cast<uintptr_t>(image->base()), 0x10000u);
    EXPECT_GT(image->relocationsApplied(), 0u);
    EXPECT_TRUE(image->inCode(reinterpret_cast<void *>(image->driverEntry())));
    EXPECT_EQ(image->base()[0], 'M');
    EXPECT_EQ(image->base()[1], 'Z');
  }
}

TEST(PeLoader, BindsEachImportToThePortDriversRoutine) {
  for (const char *name : kImages) {
    SCOPED_TRACE(name);
    std::string error;
    std::unique_ptr<sim::LoadedImage> image = Load(name, error);
    ASSERT_NE(image, nullptr) << error;
    ASSERT_FALSE(image->bindings().empty());
    bool initialize = false;
    for (const sim::LoadedImage::Binding &binding : image->bindings()) {
      SCOPED_TRACE(binding.name);
      uint32_t slot;
      std::memcpy(&slot, image->base() + binding.slotRva, 4);
      EXPECT_EQ(slot, reinterpret_cast<uintptr_t>(ExportAddress(binding.name)));
      EXPECT_EQ(binding.address, ExportAddress(binding.name));
      initialize = initialize || binding.name == "ScsiPortInitialize";
    }
    EXPECT_TRUE(initialize);
  }
}

TEST(PeLoader, TheAddressConversionIsBoundToAThunkReturningInEdxEax) {
  // The images expect the 8-byte result in EDX:EAX (Microsoft i386 ABI),
  // where this build returns a 64-bit integer, but not a union.
  void *bound = ExportAddress("ScsiPortConvertUlongToPhysicalAddress");
  ASSERT_NE(bound, nullptr);
  EXPECT_NE(bound, reinterpret_cast<void *>(&ScsiPortConvertUlongToPhysicalAddress));
  auto asImageCallsIt = reinterpret_cast<unsigned long long(NTAPI *)(ULONG)>(bound);
  EXPECT_EQ(asImageCallsIt(0x740), 0x740ull);
  EXPECT_EQ(asImageCallsIt(0xFFFFFFFFu), 0xFFFFFFFFull); // zero-extended, high half zero
  static_assert(sizeof(SCSI_PHYSICAL_ADDRESS) == 8, "the physical address is 8 bytes");
}

TEST(PeLoader, ProvidesEveryRoutineOfTheImportDefinitions) {
  std::ifstream def(KAV_SCSIPORT_DEF);
  ASSERT_TRUE(def) << KAV_SCSIPORT_DEF;
  std::string line;
  bool exports = false;
  int routines = 0;
  while (std::getline(def, line)) {
    std::string word;
    std::istringstream(line.substr(0, line.find(';'))) >> word;
    if (word == "EXPORTS") {
      exports = true;
    } else if (exports && !word.empty()) {
      std::string name = word.substr(0, word.find('@'));
      EXPECT_NE(ExportAddress(name), nullptr) << name;
      routines++;
    }
  }
  EXPECT_EQ(static_cast<size_t>(routines), sim::ScsiPortExports().size());
}

TEST(PeLoader, GivesEachSectionItsOwnProtection) {
  std::string error;
  std::unique_ptr<sim::LoadedImage> image = Load("KAVNT.SYS", error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_EQ(PageProtection(reinterpret_cast<void *>(image->driverEntry())), "r-x");
  EXPECT_EQ(PageProtection(image->base()), "r--");
  const sim::LoadedImage::Binding &binding = image->bindings().front();
  EXPECT_EQ(PageProtection(image->base() + binding.slotRva), "rw-"); // .idata is writable
}

TEST(PeLoader, AnImportThePortDriverLacksIsAnErrorNamingIt) {
  std::vector<sim::ScsiPortExport> fewer;
  for (const sim::ScsiPortExport &e : sim::ScsiPortExports()) {
    if (std::string(e.name) != "ScsiPortStallExecution") {
      fewer.push_back(e);
    }
  }
  for (const char *name : kImages) {
    std::string error;
    EXPECT_EQ(sim::LoadedImage::load(kDist + "/" + name, fewer, error), nullptr);
    EXPECT_NE(error.find("imports ScsiPortStallExecution from SCSIPORT.SYS, which our port "
                         "driver does not provide"),
              std::string::npos)
        << error;
    EXPECT_NE(error.find(name), std::string::npos) << error;
  }
}

struct Spoil {
  const char *name;
  std::function<void(std::vector<uint8_t> &, const pe::File &)> apply;
  const char *error;
};

size_t Find(const std::vector<uint8_t> &bytes, const std::string &text) {
  auto found = std::search(bytes.begin(), bytes.end(), text.begin(), text.end(),
                           [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
  return static_cast<size_t>(found - bytes.begin());
}

TEST(PeLoader, RefusesImagesItCannotLoadSafely) {
  using B = std::vector<uint8_t>;
  const std::vector<Spoil> spoils = {
      {"not an image", [](B &b, const pe::File &) { b[0] = 'X'; }, "no MZ header"},
      {"cut short", [](B &b, const pe::File &) { b.resize(0x180); }, "section table"},
      {"another machine",
       [](B &b, const pe::File &f) { pe::Write16(b, f.headers().peOffset + 4, 0x8664); },
       "not an i386 image"},
      {"a huge SizeOfImage",
       [](B &b, const pe::File &f) { pe::Write32(b, f.headers().peOffset + 24 + 56, 0x7FFFFFFF); },
       "SizeOfImage"},
      {"a section beyond SizeOfImage",
       [](B &b, const pe::File &f) {
         pe::Write32(b, f.sections().back().headerOffset + 12, 0x00100000);
       },
       "lies outside the image"},
      {"the entry point in data",
       [](B &b, const pe::File &f) {
         pe::Write32(b, f.headers().peOffset + 24 + 16, f.sections().back().virtualAddress);
       },
       "entry point"},
      {"a relocation beyond the image",
       [](B &b, const pe::File &f) {
         uint32_t at = *f.offsetOf(f.headers().directories[pe::DIRECTORY_BASE_RELOCATION].rva, 4);
         pe::Write32(b, at, 0x00FFF000);
       },
       "base relocation at 0xFFF"},
      {"a relocation of an unknown type",
       [](B &b, const pe::File &f) {
         uint32_t at = *f.offsetOf(f.headers().directories[pe::DIRECTORY_BASE_RELOCATION].rva, 4);
         b[at + 9] = static_cast<uint8_t>((b[at + 9] & 0x0F) | 0xA0);
       },
       "unknown type 10"},
      {"imports from another module",
       [](B &b, const pe::File &) {
         std::string other = "NTOSKRNL.EXE";
         std::copy(other.begin(), other.end(), b.begin() + Find(b, "SCSIPORT.SYS"));
       },
       "imports from NTOSKRNL.EXE"},
      {"an import by ordinal",
       [](B &b, const pe::File &f) {
         std::vector<pe::Import> imports;
         std::string error;
         f.imports(imports, error);
         pe::Write32(b, *f.offsetOf(imports[0].lookupRva, 4), 0x80000007u);
       },
       "imports ordinal 7"},
  };
  for (const char *name : kImages) {
    const std::vector<uint8_t> original = ReadImage(name);
    std::string error;
    std::optional<pe::File> file = pe::File::parse(original, error);
    ASSERT_TRUE(file) << error;
    for (const Spoil &spoil : spoils) {
      SCOPED_TRACE(std::string(name) + ", " + spoil.name);
      std::vector<uint8_t> bytes = original;
      spoil.apply(bytes, *file);
      std::string why;
      EXPECT_EQ(sim::LoadedImage::loadBytes(bytes, name, sim::ScsiPortExports(), why), nullptr);
      EXPECT_NE(why.find(spoil.error), std::string::npos) << why;
    }
  }
}

TEST(PeLoader, MutatedImagesLoadOrFailCleanly) {
  // Random byte changes (a fixed seed): every copy is either refused or
  // loaded within its own pages; none is run.
  uint32_t seed = 4321;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (const char *name : kImages) {
    const std::vector<uint8_t> original = ReadImage(name);
    ASSERT_FALSE(original.empty());
    int refused = 0;
    const int copies = 1000;
    for (int copy = 0; copy < copies; copy++) {
      std::vector<uint8_t> bytes = original;
      for (int i = 0, n = 1 + next() % 3; i < n; i++) {
        size_t span = next() % 2 ? 0x400 : bytes.size();
        bytes[next() % span] ^= static_cast<uint8_t>(1 + next() % 255);
      }
      std::string error;
      auto image = sim::LoadedImage::loadBytes(bytes, name, sim::ScsiPortExports(), error);
      if (!image) {
        refused++;
        EXPECT_FALSE(error.empty());
      }
    }
    // Most changes land in bytes the loader does not depend on; some must
    // have been refused.
    EXPECT_GT(refused, 0) << name;
  }
}

} // namespace
