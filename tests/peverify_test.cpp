// The verifier on the shipped images and on spoiled copies of them: each
// copy carries one fault (its checksum rewritten unless the fault is the
// checksum), and the verifier must name that fault.
#include "pe_file.h"
#include "peverify.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

const std::string kDist = KAV_DIST_DIR;
const char *const kImages[] = {"KAVNT.SYS", "KAV95.MPD"};

std::vector<uint8_t> ReadImage(const std::string &name) {
  std::ifstream in(kDist + "/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

peverify::Expectations BuildExpectations() {
  peverify::Expectations expected;
  EXPECT_TRUE(peverify::SetVersion(KAV_VERSION_TEXT, expected));
  expected.companyName = "VELMO System Inc.";
  expected.sizeLimit = KAV_IMAGE_SIZE_LIMIT;
  std::string error;
  EXPECT_TRUE(peverify::ReadImportDefinitions(KAV_SCSIPORT_DEF, expected.scsiPortRoutines, error))
      << error;
  return expected;
}

// Offsets of the things the spoilers change, found with the reader.
struct Anatomy {
  pe::File file;
  uint32_t optional() const { return file.headers().peOffset + 24; }
  uint32_t directory(unsigned index) const { return optional() + 96 + 8 * index; }
  const pe::Section &section(const std::string &name) const {
    for (const pe::Section &section : file.sections()) {
      if (section.name == name) {
        return section;
      }
    }
    ADD_FAILURE() << "no section " << name;
    return file.sections().front();
  }
  uint32_t offsetOf(uint32_t rva) const { return *file.offsetOf(rva, 1); }
  std::vector<pe::Import> imports() const {
    std::vector<pe::Import> list;
    std::string error;
    EXPECT_TRUE(file.imports(list, error)) << error;
    return list;
  }
  std::vector<pe::Relocation> highLowRelocations() const {
    std::vector<pe::Relocation> list, wanted;
    std::string error;
    EXPECT_TRUE(file.relocations(list, error)) << error;
    for (const pe::Relocation &relocation : list) {
      if (relocation.type == pe::RELOCATION_HIGHLOW) {
        wanted.push_back(relocation);
      }
    }
    return wanted;
  }
};

Anatomy Dissect(const std::vector<uint8_t> &bytes) {
  std::string error;
  std::optional<pe::File> file = pe::File::parse(bytes, error);
  if (!file) {
    ADD_FAILURE() << error;
    std::abort();
  }
  return Anatomy{*file};
}

// Position of a byte string in the image; a missing one fails the test.
size_t FindBytes(const std::vector<uint8_t> &bytes, const std::vector<uint8_t> &wanted) {
  auto found = std::search(bytes.begin(), bytes.end(), wanted.begin(), wanted.end());
  if (found == bytes.end()) {
    ADD_FAILURE() << "a spoiler's landmark is not in the image";
    std::abort();
  }
  return static_cast<size_t>(found - bytes.begin());
}

size_t FindText(const std::vector<uint8_t> &bytes, const std::string &text) {
  return FindBytes(bytes, std::vector<uint8_t>(text.begin(), text.end()));
}

// An ASCII text as the version resource stores it, in UTF-16.
size_t FindUtf16(const std::vector<uint8_t> &bytes, const std::string &text) {
  std::vector<uint8_t> wide;
  for (char c : text) {
    wide.push_back(static_cast<uint8_t>(c));
    wide.push_back(0);
  }
  return FindBytes(bytes, wide);
}

// The fixed part of the version resource starts with its signature.
size_t FixedVersionInfo(const std::vector<uint8_t> &bytes) {
  return FindBytes(bytes, {0xBD, 0x04, 0xEF, 0xFE});
}

void Restamp(std::vector<uint8_t> &bytes) {
  uint32_t offset = Dissect(bytes).file.headers().checkSumOffset;
  pe::Write32(bytes, offset, pe::ComputeChecksum(bytes, offset));
}

class ShippedImages : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char *name : kImages) {
      if (ReadImage(name).empty()) {
        GTEST_SKIP() << kDist << "/" << name
                     << " is not built: build the PE images first (./kav build)";
      }
    }
  }
  peverify::Expectations expected = BuildExpectations();
};

TEST(ImageChecksum, IsTheFoldedWordSumPlusTheLength) {
  // Words 0x0201 and 0x0403; the field at offset 4 counts as zero.
  EXPECT_EQ(pe::ComputeChecksum({0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB, 0xCC, 0xDD}, 4), 0x060Cu);
  // 0xFFFF + 0x0002 folds to 0x0002.
  EXPECT_EQ(pe::ComputeChecksum({0xFF, 0xFF, 0x02, 0x00}, 100), 0x0006u);
  // An odd last byte is a word of its own.
  EXPECT_EQ(pe::ComputeChecksum({0x10, 0x00, 0x05}, 100), 0x0018u);
}

TEST(ImportDefinitions, AreReadWithoutTheirDecoration) {
  std::set<std::string> names;
  std::string error;
  ASSERT_TRUE(peverify::ReadImportDefinitions(KAV_SCSIPORT_DEF, names, error)) << error;
  EXPECT_EQ(names.count("ScsiPortInitialize"), 1u);
  EXPECT_EQ(names.count("ScsiPortNotification"), 1u);
  EXPECT_EQ(names.count("ScsiPortInitialize@16"), 0u);
  EXPECT_EQ(names.count("SCSIPORT.SYS"), 0u);
}

TEST_F(ShippedImages, PassEveryCheck) {
  for (const char *name : kImages) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> bytes = ReadImage(name);
    peverify::Report report = peverify::VerifyImage(name, bytes, expected);
    for (const std::string &error : report.errors) {
      ADD_FAILURE() << error;
    }
    EXPECT_LE(bytes.size(), static_cast<size_t>(KAV_IMAGE_SIZE_LIMIT));
    EXPECT_EQ(report.importModule, "SCSIPORT.SYS");
    EXPECT_NE(std::find(report.imports.begin(), report.imports.end(), "ScsiPortInitialize"),
              report.imports.end());
    EXPECT_GT(report.relocations, 0u);
    EXPECT_EQ(report.fileVersion, KAV_VERSION_TEXT);
    EXPECT_EQ(
        report.summary(), std::string(name) + ": " + std::to_string(bytes.size()) +
                              " bytes, version " + KAV_VERSION_TEXT + ", imports " +
                              std::to_string(report.imports.size()) +
                              " routines of SCSIPORT.SYS, checksum " +
                              [&] {
                                char hex[16];
                                std::snprintf(hex, sizeof hex, "0x%08X", report.checkSum);
                                return std::string(hex);
                              }() +
                              ": ok");
  }
}

TEST_F(ShippedImages, CarryTheirOwnNamesInTheVersionResource) {
  for (const char *name : kImages) {
    SCOPED_TRACE(name);
    pe::VersionInfo info;
    std::string error;
    ASSERT_TRUE(Dissect(ReadImage(name)).file.versionInfo(info, error)) << error;
    EXPECT_EQ(info.strings["OriginalFilename"], name);
    EXPECT_EQ(info.strings["InternalName"], std::string(name).substr(0, 5));
    EXPECT_EQ(info.strings["CompanyName"], "VELMO System Inc.");
    EXPECT_EQ(info.fileOs, 0x40004u);
    EXPECT_EQ(info.fileType, 3u);
    EXPECT_EQ(info.fileSubtype, 7u);
    EXPECT_EQ(info.translations, std::vector<uint32_t>{0x04B00409u});
    EXPECT_NE(info.strings["FileDescription"].find(std::string(name) == "KAVNT.SYS" ? "NT 4.0"
                                                                                    : "Windows 95"),
              std::string::npos);
  }
}

struct Spoil {
  const char *name;
  std::function<void(std::vector<uint8_t> &, const Anatomy &)> apply;
  const char *error;
  bool restamp = true;
};

void SetDirectory(std::vector<uint8_t> &b, const Anatomy &a, unsigned index, uint32_t rva,
                  uint32_t size) {
  pe::Write32(b, a.directory(index), rva);
  pe::Write32(b, a.directory(index) + 4, size);
}

const std::vector<Spoil> &Spoils() {
  using B = std::vector<uint8_t>;
  static const std::vector<Spoil> spoils = {
      {"wrong checksum",
       [](B &b, const Anatomy &a) { pe::Write32(b, a.file.headers().checkSumOffset, 0x1234); },
       "checksum is 0x00001234", false},
      {"zero checksum",
       [](B &b, const Anatomy &a) { pe::Write32(b, a.file.headers().checkSumOffset, 0); },
       "checksum is 0x00000000", false},
      {"a code byte changed after stamping",
       [](B &b, const Anatomy &a) { b[a.section(".text").pointerToRawData + 3] ^= 0x5A; },
       "the file sums to", false},
      {"NX bit", [](B &b, const Anatomy &a) { b[a.optional() + 71] |= 0x01; }, "NX compatible"},
      {"dynamic base", [](B &b, const Anatomy &a) { b[a.optional() + 70] |= 0x40; },
       "dynamic base"},
      {"no-SEH bit", [](B &b, const Anatomy &a) { b[a.optional() + 71] |= 0x04; }, "no SEH"},
      {"GUI subsystem", [](B &b, const Anatomy &a) { pe::Write16(b, a.optional() + 68, 2); },
       "subsystem is 2, not native"},
      {"subsystem version 5.0",
       [](B &b, const Anatomy &a) { pe::Write16(b, a.optional() + 48, 5); },
       "subsystem version is 5.0"},
      {"image version 0.0", [](B &b, const Anatomy &a) { pe::Write16(b, a.optional() + 44, 0); },
       "image version is 0.0"},
      {"a DLL", [](B &b, const Anatomy &a) { b[a.file.headers().peOffset + 23] |= 0x20; },
       "marked as a DLL"},
      {"relocations stripped flag",
       [](B &b, const Anatomy &a) { b[a.file.headers().peOffset + 22] |= 0x01; },
       "relocations stripped"},
      {"another machine",
       [](B &b, const Anatomy &a) { pe::Write16(b, a.file.headers().peOffset + 4, 0x8664); },
       "not i386"},
      {"imports from another module",
       [](B &b, const Anatomy &) {
         std::string other = "NTOSKRNL.EXE";
         std::copy(other.begin(), other.end(), b.begin() + FindText(b, "SCSIPORT.SYS"));
       },
       "imports from NTOSKRNL.EXE"},
      {"an import SCSIPORT.SYS does not define",
       [](B &b, const Anatomy &) {
         std::string other = "ScsiPortFreeDeviceBase"; // as long as ScsiPortStallExecution
         std::copy(other.begin(), other.end(), b.begin() + FindText(b, "ScsiPortStallExecution"));
       },
       "imports ScsiPortFreeDeviceBase, which is not among"},
      {"a C library import",
       [](B &b, const Anatomy &) {
         std::string other = "memset"; // and its NUL
         std::copy(other.c_str(), other.c_str() + 7,
                   b.begin() + FindText(b, "ScsiPortNotification"));
       },
       "imports memset"},
      {"ScsiPortInitialize missing",
       [](B &b, const Anatomy &) {
         std::string other = "ScsiPortStallExecution";
         size_t at = FindText(b, "ScsiPortInitialize");
         std::copy(other.c_str(), other.c_str() + 18, b.begin() + at);
         b[at + 18] = 0;
       },
       "does not import ScsiPortInitialize"},
      {"an import by ordinal",
       [](B &b, const Anatomy &a) {
         pe::Import first = a.imports().front();
         pe::Write32(b, a.offsetOf(first.lookupRva), 0x80000005u);
         pe::Write32(b, a.offsetOf(first.slotRva), 0x80000005u);
       },
       "imports ordinal 5 of SCSIPORT.SYS"},
      {"a pre-bound slot",
       [](B &b, const Anatomy &a) {
         pe::Write32(b, a.offsetOf(a.imports().back().slotRva), 0x00401234u);
       },
       "is pre-bound"},
      {"an export directory",
       [](B &b, const Anatomy &a) {
         SetDirectory(b, a, pe::DIRECTORY_EXPORT, a.section(".idata").virtualAddress, 40);
       },
       "has an export directory"},
      {"an unwind directory",
       [](B &b, const Anatomy &a) {
         SetDirectory(b, a, pe::DIRECTORY_EXCEPTION, a.section(".idata").virtualAddress, 12);
       },
       "exception (unwind) directory"},
      {"a TLS directory",
       [](B &b, const Anatomy &a) {
         SetDirectory(b, a, pe::DIRECTORY_TLS, a.section(".idata").virtualAddress, 24);
       },
       "thread-local storage"},
      {"an unwind section",
       [](B &b, const Anatomy &a) {
         std::string name = ".pdata";
         std::copy(name.c_str(), name.c_str() + 7, b.begin() + a.section(".rsrc").headerOffset);
       },
       "section .pdata is not one a miniport needs"},
      {"writable code",
       [](B &b, const Anatomy &a) { b[a.section(".text").headerOffset + 39] |= 0x80; },
       "both executable and writable"},
      {"entry point outside the code",
       [](B &b, const Anatomy &a) {
         pe::Write32(b, a.optional() + 16, a.section(".rsrc").virtualAddress);
       },
       "entry point"},
      {"no base relocations",
       [](B &b, const Anatomy &a) { SetDirectory(b, a, pe::DIRECTORY_BASE_RELOCATION, 0, 0); },
       "has no base relocations"},
      {"a 64-bit relocation",
       [](B &b, const Anatomy &a) {
         uint32_t at = a.offsetOf(a.file.headers().directories[pe::DIRECTORY_BASE_RELOCATION].rva);
         b[at + 9] = static_cast<uint8_t>((b[at + 9] & 0x0F) | 0xA0);
       },
       "has type 10"},
      {"a relocation pointing outside the image",
       [](B &b, const Anatomy &a) {
         pe::Write32(b, a.offsetOf(a.highLowRelocations().front().rva), 0x00000010u);
       },
       "outside the image"},
      {"file type application",
       [](B &b, const Anatomy &) {
         size_t fixed = FixedVersionInfo(b);
         pe::Write32(b, fixed + 36, 1);
       },
       "FILETYPE is 0x00000001, expected 0x00000003"},
      {"file OS Windows 3.x",
       [](B &b, const Anatomy &) {
         size_t fixed = FixedVersionInfo(b);
         pe::Write32(b, fixed + 32, 4);
       },
       "FILEOS"},
      {"file subtype",
       [](B &b, const Anatomy &) {
         size_t fixed = FixedVersionInfo(b);
         pe::Write32(b, fixed + 40, 2);
       },
       "FILESUBTYPE"},
      {"another company", [](B &b, const Anatomy &) { b[FindUtf16(b, "VELMO")] = 'W'; },
       "CompanyName is \"WELMO System Inc.\""},
      {"another translation",
       [](B &b, const Anatomy &) {
         size_t at = FindBytes(b, {0x09, 0x04, 0xB0, 0x04});
         b[at + 2] = 0xE4;
       },
       "Translation 0x409/1200"},
      {"bytes beyond the last section", [](B &b, const Anatomy &) { b.resize(b.size() + 512, 0); },
       "beyond its last section"},
      {"no resources",
       [](B &b, const Anatomy &a) { SetDirectory(b, a, pe::DIRECTORY_RESOURCE, 0, 0); },
       "has no resources"},
      {"cut short", [](B &b, const Anatomy &) { b.resize(700); }, "not a PE image"},
      {"no MZ", [](B &b, const Anatomy &) { b[0] = 'Z'; }, "no MZ header", false},
      {"PE header offset outside the file",
       [](B &b, const Anatomy &) { pe::Write32(b, 0x3C, 0x7FFFFFF0u); }, "outside the file", false},
  };
  return spoils;
}

TEST_F(ShippedImages, SpoiledCopiesAreRejectedWithTheirFault) {
  for (const char *name : kImages) {
    const std::vector<uint8_t> original = ReadImage(name);
    const Anatomy anatomy = Dissect(original);
    for (const Spoil &spoil : Spoils()) {
      SCOPED_TRACE(std::string(name) + ", " + spoil.name);
      std::vector<uint8_t> bytes = original;
      spoil.apply(bytes, anatomy);
      ASSERT_NE(bytes, original);
      std::string unreadable;
      if (spoil.restamp && pe::File::parse(bytes, unreadable)) {
        Restamp(bytes);
      }
      peverify::Report report = peverify::VerifyImage(name, bytes, expected);
      EXPECT_FALSE(report.ok());
      EXPECT_TRUE(report.hasError(spoil.error)) << "errors:\n  " << [&] {
        std::string all;
        for (const std::string &error : report.errors) {
          all += error + "\n  ";
        }
        return all;
      }();
      if (spoil.restamp) {
        EXPECT_FALSE(report.hasError("checksum is")) << "the copy was restamped";
      }
    }
  }
}

TEST_F(ShippedImages, ACopyUnderAnotherNameOrVersionIsRejected) {
  std::vector<uint8_t> nt = ReadImage("KAVNT.SYS");
  peverify::Report renamed = peverify::VerifyImage("KAV95.MPD", nt, expected);
  EXPECT_TRUE(renamed.hasError("OriginalFilename is \"KAVNT.SYS\", expected \"KAV95.MPD\""));
  EXPECT_TRUE(renamed.hasError("InternalName is \"KAVNT\", expected \"KAV95\""));

  peverify::Expectations later = expected;
  ASSERT_TRUE(peverify::SetVersion("1.0.1", later));
  peverify::Report older = peverify::VerifyImage("KAVNT.SYS", nt, later);
  EXPECT_TRUE(older.hasError("FILEVERSION (low) is 0x00000000, expected 0x00010000"));
  EXPECT_TRUE(older.hasError("FileVersion is"));

  peverify::Expectations tight = expected;
  tight.sizeLimit = static_cast<uint32_t>(nt.size()) - 1;
  EXPECT_TRUE(peverify::VerifyImage("KAVNT.SYS", nt, tight).hasError("above the limit"));
}

TEST_F(ShippedImages, MutatedCopiesNeverUpsetTheVerifier) {
  // Random byte changes all over the file (a fixed seed, so the same every
  // run): the verifier must read every copy safely and reject nearly all.
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (const char *name : kImages) {
    const std::vector<uint8_t> original = ReadImage(name);
    int rejected = 0;
    const int copies = 1500;
    for (int copy = 0; copy < copies; copy++) {
      std::vector<uint8_t> bytes = original;
      int changes = 1 + next() % 4;
      for (int i = 0; i < changes; i++) {
        // Half of the changes go into the headers, where most of the checks are.
        size_t span = next() % 2 ? 0x400 : bytes.size();
        bytes[next() % span] ^= static_cast<uint8_t>(1 + next() % 255);
      }
      rejected += peverify::VerifyImage(name, bytes, expected).ok() ? 0 : 1;
    }
    EXPECT_GT(rejected, copies * 95 / 100) << name;
  }
}

} // namespace

namespace {

// The command line, as ./kav build runs it: its exit status and its lines.
int RunVerifier(const std::string &arguments, std::string &output) {
  std::string command = std::string(KAV_PEVERIFY) + " " + arguments + " 2>&1";
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return -1;
  }
  char buffer[256];
  output.clear();
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    output += buffer;
  }
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ShippedImages, TheCommandLinePrintsOneLinePerImageAndFailsOnASpoiledOne) {
  std::string output;
  EXPECT_EQ(RunVerifier(kDist + "/KAVNT.SYS " + kDist + "/KAV95.MPD", output), 0) << output;
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 2) << output;
  EXPECT_NE(output.find("/KAVNT.SYS: "), std::string::npos) << output;
  EXPECT_NE(output.find("/KAV95.MPD: "), std::string::npos) << output;

  std::vector<uint8_t> bytes = ReadImage("KAVNT.SYS");
  bytes[Dissect(bytes).optional() + 71] |= 0x01; // NX, checksum left stale
  std::string spoiled = ::testing::TempDir() + "KAVNT.SYS";
  {
    std::ofstream out(spoiled, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  EXPECT_EQ(RunVerifier(spoiled, output), 1) << output;
  EXPECT_NE(output.find("NX compatible"), std::string::npos) << output;
  EXPECT_NE(output.find("checksum is"), std::string::npos) << output;
  std::remove(spoiled.c_str());

  EXPECT_EQ(RunVerifier("--version one.two " + spoiled, output), 2) << output;
  EXPECT_EQ(RunVerifier("", output), 2) << output;
}

} // namespace
