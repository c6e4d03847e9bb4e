// peverify: checks the shipped images and prints one line per file.
//
//   peverify [--definitions FILE] [--version X.Y.Z] [--company NAME]
//            [--size-limit BYTES] IMAGE...
//
// The defaults are the build's own: port/scsiport.def, the project version,
// the company name and the size limit of cmake/product.cmake. Exit status 0
// when every image passes, 1 when one does not, 2 on a usage error.
#include "peverify.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

void PrintUsage(FILE *out) {
  std::fprintf(out, "usage: peverify [--definitions FILE] [--version X.Y.Z] [--company NAME]\n"
                    "                [--size-limit BYTES] IMAGE...\n");
}

bool ReadFile(const std::string &path, std::vector<uint8_t> &bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string BaseName(const std::string &path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

int main(int argc, char **argv) {
  std::string definitions = KAV_SCSIPORT_DEF;
  std::string version = KAV_VERSION_TEXT;
  peverify::Expectations expected;
  expected.companyName = KAV_COMPANY_NAME;
  expected.sizeLimit = KAV_IMAGE_SIZE_LIMIT;
  std::vector<std::string> images;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (arg == "--definitions" && hasValue) {
      definitions = argv[++i];
    } else if (arg == "--version" && hasValue) {
      version = argv[++i];
    } else if (arg == "--company" && hasValue) {
      expected.companyName = argv[++i];
    } else if (arg == "--size-limit" && hasValue) {
      expected.sizeLimit = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "peverify: unknown option or missing value: %s\n", arg.c_str());
      PrintUsage(stderr);
      return 2;
    } else {
      images.push_back(arg);
    }
  }
  if (images.empty()) {
    PrintUsage(stderr);
    return 2;
  }
  if (!peverify::SetVersion(version, expected)) {
    std::fprintf(stderr, "peverify: version '%s' is not X.Y.Z\n", version.c_str());
    return 2;
  }
  std::string error;
  if (!peverify::ReadImportDefinitions(definitions, expected.scsiPortRoutines, error)) {
    std::fprintf(stderr, "peverify: %s\n", error.c_str());
    return 2;
  }

  bool allGood = true;
  for (const std::string &path : images) {
    std::vector<uint8_t> bytes;
    if (!ReadFile(path, bytes)) {
      std::printf("%s: cannot read the file\n", path.c_str());
      allGood = false;
      continue;
    }
    peverify::Report report = peverify::VerifyImage(BaseName(path), bytes, expected);
    report.fileName = path;
    std::printf("%s\n", report.summary().c_str());
    for (const std::string &problem : report.errors) {
      std::printf("  %s\n", problem.c_str());
    }
    allGood = allGood && report.ok();
  }
  return allGood ? 0 : 1;
}
