// Station bytes cut into packets at points the fuzzer chooses, through the frame decoder and the
// message interpretation. Input layout: a length byte, then that many packet bytes (fewer at the
// end of the input), repeated. The whole input is also handed to the interpretation as one frame,
// so block messages of any shape are reached without first having to hit a checksum of 0.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "delivery/event_record.h"
#include "receiver/frame_decoder.h"
#include "receiver/message_interpreter.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_display_list.h"
#include "tests/fakes/recording_sinks.h"

namespace drv {
namespace {

// Passes frames on and checks that every scan ends with a bounded number of records: at most
// one per byte from zone lists, 31 list items read past the end, and 16 zone-mask records.
class BoundedInterpretation final : public IFrameSink {
 public:
  BoundedInterpretation(MessageInterpreter& interpreter, const testing::RecordingEventSink& events)
      : interpreter_(interpreter), events_(events) {}

  bool HandleFrame(std::span<const uint8_t> decoded) override {
    const std::size_t before = events_.records.size();
    const bool kept = interpreter_.HandleFrame(decoded);
    if (events_.records.size() - before > decoded.size() + 31 + 16) __builtin_trap();
    return kept;
  }

 private:
  MessageInterpreter& interpreter_;
  const testing::RecordingEventSink& events_;
};

bool HasEndMark(std::span<const uint8_t> packet) {
  for (const uint8_t b : packet) {
    if (b != kFrameStartByte && (b & 0x03) == 0x03) return true;
  }
  return false;
}

void FuzzOneInput(const uint8_t* data, std::size_t size) {
  testing::FakeClock clock;
  testing::RecordingByteWriter reply;
  testing::FakeDisplayList display;
  testing::RecordingEventSink events;
  EventEmitter emitter(4, events);
  MessageInterpreter interpreter(clock, emitter);
  BoundedInterpretation sink(interpreter, events);
  FrameDecoder decoder(
      FrameDecoderContext{clock, reply, display, [] { return true; }, nullptr, sink});

  std::size_t at = 0;
  while (at < size) {
    const std::size_t wanted = data[at++];
    const std::size_t length = wanted < size - at ? wanted : size - at;
    const std::span<const uint8_t> packet(data + at, length);
    at += length;
    const std::size_t repliesBefore = reply.bytes.size();
    // An exact-size copy, so a read past the packet is caught by the address sanitizer.
    const std::vector<uint8_t> copy(packet.begin(), packet.end());
    decoder.ReceivePacket(copy.empty() ? nullptr : copy.data(), static_cast<int32_t>(copy.size()));
    // Exactly one reply for a packet holding an end mark, none otherwise.
    if (reply.bytes.size() - repliesBefore != (HasEndMark(packet) ? 1u : 0u)) __builtin_trap();
    if (display.lines.size() > kDisplayLineLimit + 1) __builtin_trap();
    clock.Advance(5);
  }

  const std::vector<uint8_t> frame(data, data + size);
  sink.HandleFrame(frame);
}

}  // namespace
}  // namespace drv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  drv::FuzzOneInput(data, size);
  return 0;
}
