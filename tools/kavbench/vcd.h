// The SCSI bus as a Value Change Dump (--vcd FILE), written as the run goes.
//
// The file holds what both GTKWave and PulseView (Debian's libsigrok VCD
// importer) open: one scalar wire per signal (BSY, SEL, ATN, MSG, C/D, I/O,
// REQ, ACK, RST, DB0 to DB7; 1 is asserted), no scopes, no $dumpvars, an
// explicit value for every wire at time 0, and a timescale of 1 ns. The
// lines come from the bus model through its waveform (sim/scsi/waveform.h),
// which draws each byte's REQ/ACK handshake for a decoder to clock on.
#ifndef KAV_TOOLS_KAVBENCH_VCD_H
#define KAV_TOOLS_KAVBENCH_VCD_H

#include "waveform.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace kavbench {

class VcdWriter {
public:
  VcdWriter() = default;
  ~VcdWriter();
  VcdWriter(const VcdWriter &) = delete;
  VcdWriter &operator=(const VcdWriter &) = delete;

  // Creates the file and writes the header; "" or why not.
  std::string open(const std::string &path);
  // Starts feeding the bus recorder's events into the file.
  void attach(sim::ScsiBus &bus);
  // Ends the waveform, detaches and closes; "" or the write error.
  std::string close();

  void sample(const sim::LineSample &sample);

private:
  std::FILE *file_ = nullptr;
  std::string path_;
  sim::ScsiBus *bus_ = nullptr;
  std::unique_ptr<sim::BusWaveform> waveform_;
  bool first_ = true;
  uint32_t previous_ = 0;
};

} // namespace kavbench

#endif
