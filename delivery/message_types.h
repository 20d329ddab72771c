#pragma once

#include <cstdint>

namespace drv {

// Message type codes of the message-server protocol.
enum MessageType : uint32_t {
  MsgPoll = 0x02000000,
  MsgIntroduction = 0x02000001,
  MsgAccepted = 0x02000003,
  MsgConfirmRequest = 0x02000004,
  MsgAccessDenied = 0x02000005,
  MsgPortState = 0x02200062,
  MsgVersion = 0x02200063,
  MsgFirstNumber = 0x02200065,
  MsgDisconnectOrder = 0x02FFFFFD,
  MsgDropConnection = 0x02FFFFFE,
  MsgConfirm = 0x02FFFFFF,
  MsgEventRecord = 0x03000042,
  MsgEventAck = 0x03000043,
};

}  // namespace drv
