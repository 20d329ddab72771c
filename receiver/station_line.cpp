#include "receiver/station_line.h"

namespace drv {

void ConfigureStationLine(TSerialPortDriver& port) {
  port.SetHwFlow(hfRTSTOG);
  port.SetPacketSize(256);
  port.SetPacketTimeout(10);
  port.SetPacketMode(pmPass);
  port.SetPollingDelay(5);
  port.SetOutputTimeout(10);
}

}  // namespace drv
