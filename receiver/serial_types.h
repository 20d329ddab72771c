#pragma once

#include <cstdint>

namespace drv {

// Line settings of the serial port component; the ordinal values matter.
enum TBaudRate : uint8_t {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TDataBits : uint8_t { db5BITS, db6BITS, db7BITS, db8BITS };
enum TStopBits : uint8_t { sb1BITS, sb1HALFBITS, sb2BITS };
enum TParity : uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum THwFlowControl : uint8_t { hfNONE, hfNONERTSON, hfRTSCTS, hfRTSTOG };
enum TSwFlowControl : uint8_t { sfNONE, sfXONXOFF };
enum TPacketMode : uint8_t { pmDiscard, pmPass };

// What an event loop waits on to learn that a serial device has input: the descriptor on POSIX
// systems, the communications handle on Windows. The serial port component only passes it on.
using SerialReadinessHandle = std::intptr_t;
inline constexpr SerialReadinessHandle kNoReadinessHandle = -1;

// Bits per second of br110..br256000; 0 for brCustom.
constexpr uint32_t BaudRateBitsPerSecond(TBaudRate rate) {
  constexpr uint32_t kRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return rate <= br256000 ? kRates[rate] : 0;
}

}  // namespace drv
