// pestamp: the post-link step of the PE build. It writes the image checksum
// into the image's optional header (GNU ld leaves the field to us, and the
// NT loader refuses a kernel image whose checksum does not match).
//
//   pestamp IMAGE
//
// Built with the host compiler inside the cross build, from the same PE
// reader as the verifier and the loader.
#include "pe_file.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pestamp IMAGE\n");
    return 2;
  }
  const std::string path = argv[1];
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "pestamp: cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  in.close();

  std::string error;
  std::optional<pe::File> file = pe::File::parse(bytes, error);
  if (!file) {
    std::fprintf(stderr, "pestamp: %s: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  uint32_t offset = file->headers().checkSumOffset;
  pe::Write32(bytes, offset, pe::ComputeChecksum(bytes, offset));

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "pestamp: cannot write %s\n", path.c_str());
    return 1;
  }
  return 0;
}
