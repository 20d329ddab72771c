#pragma once

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "receiver/serial_port_control.h"

namespace drv::testing {

// A serial port whose device names either open, fail or throw; keeps every open attempt.
class FakeSerialPortControl final : public ISerialPortControl {
 public:
  void SetPortName(const std::string& name) override {
    if (!open) portName = name;
  }
  const std::string& PortName() const override { return portName; }
  void SetBaudRate(TBaudRate rate) override {
    baudRate = rate;
    ++baudRateSets;
  }
  bool Open() override {
    openAttempts.push_back(portName);
    if (throwing.count(portName) != 0) throw std::runtime_error("device failure");
    if (openable.count(portName) != 0) open = true;
    return open;
  }
  void Close() override {
    open = false;
    dtr = false;
    ++closeCount;
  }
  bool IsOpen() const override { return open; }
  void SetDtr(bool on) override {
    dtr = on;
    dtrCalls.push_back(on);
  }

  std::set<std::string> openable;  // full device names, such as "\\.\COM3"
  std::set<std::string> throwing;
  std::vector<std::string> openAttempts;
  std::vector<bool> dtrCalls;
  std::string portName;
  TBaudRate baudRate = br9600;
  int baudRateSets = 0;
  int closeCount = 0;
  bool open = false;
  bool dtr = false;
};

}  // namespace drv::testing
