// What a message server might send, cut into reads at points the fuzzer chooses, through
// ReadFrame and message decoding; the same bytes also go through ParseVersionText. Input layout:
// a read size byte, a byte giving the time each read takes (in 100 ms), then the stream.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "delivery/protocol.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_connection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace drv;
  if (size < 2) return 0;
  const std::size_t readSize = data[0] == 0 ? 1 : data[0];
  const uint32_t readTimeMs = data[1] * 100u;
  const std::span<const uint8_t> stream(data + 2, size - 2);

  testing::FakeClock clock;
  auto link = std::make_shared<testing::FakeLink>();
  link->open = true;
  link->clock = &clock;
  for (std::size_t at = 0; at < stream.size(); at += readSize) {
    const std::size_t end = std::min(stream.size(), at + readSize);
    link->QueueBytes(std::vector<uint8_t>(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                          stream.begin() + static_cast<std::ptrdiff_t>(end)),
                     readTimeMs);
  }
  testing::FakeConnection connection(link);

  for (;;) {
    const FrameReadResult frame = ReadFrame(connection, clock);
    if (!frame.Ok()) {
      if (!frame.body.empty()) __builtin_trap();
      break;
    }
    if (frame.body.empty() || frame.body.size() > static_cast<std::size_t>(kMaxBodyLength)) {
      __builtin_trap();
    }
    if (const auto message = DecodeMessage(frame.body)) {
      const std::size_t payload = message->payload.size();
      if (payload != 0 && payload != frame.body.size() - MessageHeader::kSize) __builtin_trap();
    }
  }

  const std::string_view text(reinterpret_cast<const char*>(stream.data()), stream.size());
  (void)VersionPayload(ParseVersionText(text));
  return 0;
}
