// The bus waveform: the lines as the bus shows them, each byte's REQ/ACK
// handshake drawn after it, samples merged per moment and in time order;
// and the recorder's observer, which alone sees the line changes.
#include "fas408_model.h"
#include "system.h"
#include "waveform.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using sim::BusEvent;
using sim::LineSample;
namespace line = sim::line;

struct Drawn {
  Drawn() : waveform([this](const LineSample &sample) { samples.push_back(sample); }) {}
  void lines(uint64_t time, uint32_t value) {
    waveform.add(BusEvent{time, BusEvent::Kind::Lines, 0xFF, sim::Phase::DataOut, 0, value});
  }
  void byte(uint64_t time, uint8_t value) {
    waveform.add(BusEvent{time, BusEvent::Kind::Byte, 0, sim::Phase::Command, value, 0});
  }
  std::vector<LineSample> samples;
  sim::BusWaveform waveform;
};

TEST(BusWaveform, DrawsEachBytesHandshakeAfterItWithTheDataStableAtBothEdges) {
  Drawn drawn;
  uint32_t command = line::BSY | line::CD;
  drawn.lines(1000, command);
  drawn.byte(2000, 0x28);
  drawn.byte(2400, 0x00);
  drawn.waveform.finish();
  std::vector<LineSample> expected = {
      {0, 0},
      {1000, command},
      {2000, command | 0x28},
      {2010, command | 0x28 | line::REQ},
      {2020, command | 0x28 | line::REQ | line::ACK},
      {2030, command | 0x28 | line::ACK},
      {2040, command},
      // 0x00 on the data lines changes nothing until REQ.
      {2410, command | line::REQ},
      {2420, command | line::REQ | line::ACK},
      {2430, command | line::ACK},
      {2440, command},
  };
  EXPECT_EQ(drawn.samples, expected);
}

TEST(BusWaveform, ALineChangeDuringAHandshakeKeepsTimeOrder) {
  Drawn drawn;
  drawn.lines(0, line::BSY | line::IO | line::CD); // STATUS
  drawn.byte(100, 0x00);
  drawn.lines(125, line::BSY | line::IO | line::CD | line::MSG); // MESSAGE IN
  drawn.waveform.finish();
  uint32_t status = line::BSY | line::IO | line::CD;
  std::vector<LineSample> expected = {
      {0, status},
      {110, status | line::REQ},
      {120, status | line::REQ | line::ACK},
      {125, status | line::MSG | line::REQ | line::ACK},
      {130, status | line::MSG | line::ACK},
      {140, status | line::MSG},
  };
  EXPECT_EQ(drawn.samples, expected);
}

TEST(BusWaveform, AByteSoonerThanAHandshakeEndsTheEarlierOneAtOnce) {
  Drawn drawn;
  drawn.byte(100, 0x01);
  drawn.byte(115, 0x02);
  drawn.waveform.finish();
  std::vector<LineSample> expected = {
      {0, 0},
      {100, 0x01},
      {110, 0x01 | line::REQ},
      {115, 0x02},
      {125, 0x02 | line::REQ},
      {135, 0x02 | line::REQ | line::ACK},
      {145, 0x02 | line::ACK},
      {155, 0},
  };
  EXPECT_EQ(drawn.samples, expected);
}

TEST(BusRecorder, TheObserverSeesLineChangesThatTheListDoesNotKeep) {
  sim::System system;
  sim::ScsiBus &bus = system.bus();
  std::vector<BusEvent> observed;
  bus.recorder.setEnabled(true);
  bus.recorder.setObserver([&](const BusEvent &event) { observed.push_back(event); });
  sim::Target target(bus, 5);
  bus.drive(target, line::BSY, 40);
  bus.drive(target, line::BSY, 50); // no change
  bus.drive(target, 0, 60);
  bus.recorder.record({70, BusEvent::Kind::BusFree, 5, sim::Phase::DataOut, 0});
  ASSERT_EQ(observed.size(), 3u);
  EXPECT_EQ(observed[0].kind, BusEvent::Kind::Lines);
  EXPECT_EQ(observed[0].time, 40u);
  EXPECT_EQ(observed[0].lines, line::BSY);
  EXPECT_EQ(observed[1].time, 60u);
  EXPECT_EQ(observed[1].lines, 0u);
  EXPECT_EQ(observed[2].kind, BusEvent::Kind::BusFree);
  ASSERT_EQ(bus.recorder.events().size(), 1u);
  EXPECT_EQ(bus.recorder.events()[0].kind, BusEvent::Kind::BusFree);
  bus.recorder.setObserver(nullptr);
  EXPECT_FALSE(bus.recorder.observing());
  bus.drive(target, line::BSY, 80);
  EXPECT_EQ(observed.size(), 3u);
}

} // namespace
