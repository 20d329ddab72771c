#pragma once

#include "receiver/serial_port_driver.h"

namespace drv {

// Gives the port the values the station's line needs: RTS keyed for the RS-485 converter, packets
// of up to 256 bytes with a 10 ms time-out passed on, and a 10 ms bound on a reply's write. The
// port name and the rate come from the settings and are set apart.
void ConfigureStationLine(TSerialPortDriver& port);

}  // namespace drv
