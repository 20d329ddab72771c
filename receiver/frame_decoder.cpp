#include "receiver/frame_decoder.h"

#include <utility>

#include "base/hex_text.h"
#include "base/tdatetime.h"
#include "receiver/frame_log.h"

namespace drv {
namespace {

constexpr char kLineFramesRefused[] = "Нет места для событий: кадры станции остаются без ответа.";
constexpr char kLineFramesAnsweredAgain[] = "Кадры станции снова принимаются.";

bool IsEndMark(uint8_t b) {
  return (b & 0x03) == 0x03;
}

}  // namespace

DecodedFrame DecodeNibbles(std::span<const uint8_t> dataBytes) {
  DecodedFrame frame;
  uint8_t accumulator = 0;
  bool highSeen = false;
  bool lowSeen = false;
  for (const uint8_t b : dataBytes) {
    if ((b & 0x02) != 0) {
      accumulator |= static_cast<uint8_t>(b & 0xF0);
      highSeen = true;
    } else {
      accumulator |= static_cast<uint8_t>(b >> 4);
      lowSeen = true;
    }
    if (highSeen && lowSeen) {
      // A caller with more than 255 data bytes gets what fits; the decoder never stores more.
      if (frame.count < frame.bytes.size()) frame.bytes[frame.count++] = accumulator;
      accumulator = 0;
      highSeen = false;
      lowSeen = false;
    }
  }
  return frame;
}

uint8_t FrameChecksum(std::span<const uint8_t> decoded) {
  uint8_t sum = 0;
  for (const uint8_t b : decoded) sum = static_cast<uint8_t>(sum + b);
  return sum;
}

bool IsValidFrame(std::span<const uint8_t> decoded) {
  return decoded.size() >= 2 && FrameChecksum(decoded) == 0;
}

uint8_t ReplyFor(std::span<const uint8_t> decoded) {
  if (decoded.size() < 2) return kReplyAccepted;
  return FrameChecksum(decoded) == 0 ? kReplyAccepted : kReplyBadChecksum;
}

FrameDecoder::FrameDecoder(FrameDecoderContext context) : context_(std::move(context)) {}

void FrameDecoder::ReceivePacket(const uint8_t* packet, int32_t size) {
  if (packet == nullptr || size <= 0) return;
  bool frameComplete = false;
  for (int32_t i = 0; i < size; ++i) {
    const uint8_t b = packet[i];
    if (b == kFrameStartByte) {
      frameLength_ = 0;
    } else if (IsEndMark(b)) {
      // Intake goes on: bytes after the end mark still join this frame.
      frameComplete = true;
    } else {
      frameBuffer_[frameLength_] = b;
      ++frameLength_;  // wraps at 256 like the station's own counter
    }
  }
  // However many end marks the packet held, the frame is processed once, as the buffer now stands.
  if (!frameComplete) return;
  const DecodedFrame frame = DecodeNibbles({frameBuffer_.data(), frameLength_});
  ProcessDecodedFrame(frame.View());
}

void FrameDecoder::ProcessDecodedFrame(std::span<const uint8_t> decoded) {
  const TDateTime now = context_.clock.Now();
  lastFrameTime_ = now;
  lastFrameUnixMs_ = context_.clock.UnixTimeMs();
  const bool valid = IsValidFrame(decoded);
  // The station forgets a frame once it has the reply 05, so the frame's records must be stored
  // first. Everything else waits until the station has its reply.
  bool kept = true;
  if (valid) {
    try {
      kept = context_.sink.HandleFrame(decoded);
    } catch (...) {
      // The interpretation keeps what it could; the station must not be left waiting.
    }
  }
  if (kept) {
    const uint8_t reply = ReplyFor(decoded);
    context_.reply.WriteByte(reply);
    ++(reply == kReplyAccepted ? counts_.accepted : counts_.badChecksum);
    if (valid && std::exchange(refusing_, false)) ShowStatusLine(now, kLineFramesAnsweredAgain);
  } else {
    // No room for its records: unanswered, the station keeps the frame and sends it again.
    ++counts_.unanswered;
    if (!std::exchange(refusing_, true)) ShowStatusLine(now, kLineFramesRefused);
  }
  if (context_.log != nullptr) context_.log->WriteLine(now, decoded);
  if (valid) AppendFrameLine(CompactHex(decoded));
}

void FrameDecoder::ShowStatusLine(TDateTime now, const char* text) {
  context_.display.AppendLine(FormatDateTime(now) + " " + text);
}

void FrameDecoder::AppendFrameLine(const std::string& compactHex) {
  // Trimmed by one line per frame, whether or not the frame itself is shown.
  if (context_.display.LineCount() > kDisplayLineLimit) context_.display.DeleteFirstLine();
  if (context_.displayEnabled && context_.displayEnabled()) context_.display.AppendLine(compactHex);
}

}  // namespace drv
