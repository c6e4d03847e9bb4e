#include "vcd.h"

#include <cerrno>
#include <cstring>

namespace kavbench {

namespace {

struct Wire {
  const char *name;
  uint32_t line;
};

// In the order the file declares them; each wire's identifier is one
// printable character from '!' on.
const Wire WIRES[] = {
    {"BSY", sim::line::BSY}, {"SEL", sim::line::SEL}, {"ATN", sim::line::ATN},
    {"MSG", sim::line::MSG}, {"C/D", sim::line::CD},  {"I/O", sim::line::IO},
    {"REQ", sim::line::REQ}, {"ACK", sim::line::ACK}, {"RST", sim::line::RST},
    {"DB0", 1u << 0},        {"DB1", 1u << 1},        {"DB2", 1u << 2},
    {"DB3", 1u << 3},        {"DB4", 1u << 4},        {"DB5", 1u << 5},
    {"DB6", 1u << 6},        {"DB7", 1u << 7},
};

char Identifier(size_t wire) {
  return static_cast<char>('!' + wire);
}

} // namespace

VcdWriter::~VcdWriter() {
  close();
}

std::string VcdWriter::open(const std::string &path) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    return "--vcd " + path + ": cannot create it: " + std::strerror(errno);
  }
  path_ = path;
  std::fprintf(file_, "$version kavbench SCSI bus $end\n");
  std::fprintf(file_, "$timescale 1 ns $end\n");
  for (size_t i = 0; i < sizeof(WIRES) / sizeof(WIRES[0]); i++) {
    std::fprintf(file_, "$var wire 1 %c %s $end\n", Identifier(i), WIRES[i].name);
  }
  std::fprintf(file_, "$enddefinitions $end\n");
  return "";
}

void VcdWriter::attach(sim::ScsiBus &bus) {
  bus_ = &bus;
  waveform_ = std::make_unique<sim::BusWaveform>(
      [this](const sim::LineSample &sample) { this->sample(sample); }, bus.lines());
  bus.recorder.setObserver([this](const sim::BusEvent &event) { waveform_->add(event); });
}

void VcdWriter::sample(const sim::LineSample &sample) {
  std::fprintf(file_, "#%llu\n", static_cast<unsigned long long>(sample.time));
  for (size_t i = 0; i < sizeof(WIRES) / sizeof(WIRES[0]); i++) {
    bool level = (sample.lines & WIRES[i].line) != 0;
    if (first_ || level != ((previous_ & WIRES[i].line) != 0)) {
      std::fprintf(file_, "%c%c\n", level ? '1' : '0', Identifier(i));
    }
  }
  first_ = false;
  previous_ = sample.lines;
}

std::string VcdWriter::close() {
  if (file_ == nullptr) {
    return "";
  }
  if (bus_ != nullptr) {
    bus_->recorder.setObserver(nullptr);
    bus_ = nullptr;
  }
  if (waveform_) {
    waveform_->finish();
    waveform_.reset();
  }
  bool failed = std::ferror(file_) != 0;
  failed = std::fclose(file_) != 0 || failed;
  file_ = nullptr;
  return failed ? "--vcd " + path_ + ": the file could not be written whole" : "";
}

} // namespace kavbench
