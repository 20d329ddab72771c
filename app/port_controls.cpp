#include "app/port_controls.h"

#include <utility>

#include "base/error_codes.h"
#include "delivery/message_types.h"
#include "delivery/port_state.h"

namespace drv {

PortControls::PortControls(PortControlsContext context) : context_(std::move(context)) {}

bool PortControls::IsRunning() const {
  return context_.view.StartStopCaption() == kCaptionStop;
}

bool PortControls::IsStopped() const {
  return context_.view.StartStopCaption() == kCaptionStart;
}

bool PortControls::TryOpen(const std::string& portName) {
  context_.port.SetPortName(kDevicePrefix + portName);
  try {
    return context_.port.Open();
  } catch (...) {
    return false;  // a throwing open is a failed open, and is not shown
  }
}

void PortControls::ShowRunning() {
  context_.view.SetStartStopCaption(kCaptionStop);
  context_.view.SetScanEnabled(false);
  context_.view.SetPortListEnabled(false);
}

void PortControls::ShowStopped() {
  context_.view.SetScanEnabled(true);
  context_.view.SetPortListEnabled(true);
  context_.view.SetStartStopCaption(kCaptionStart);
}

// Selecting an entry of an empty list is left out altogether, so that the text shown in the
// list stays as it was.
void PortControls::SelectFirstEntry() {
  if (context_.view.PortListCount() > 0) context_.view.SetPortListIndex(0);
}

void PortControls::ReportPortState() {
  if (context_.session == nullptr) return;
  try {
    // A full ring is a failure to hand the message over, reported like any other.
    if (context_.session->QueueMessage(
            MsgPortState, PortStatePayload(context_.settings.ComPort, context_.port.IsOpen()))) {
      return;
    }
  } catch (...) {
  }
  context_.writeErrorCode(kErrorPortSelection);
}

void PortControls::ClearForStartUp() {
  context_.view.ClearPortList();
  SelectFirstEntry();
}

void PortControls::StartUpStep(const std::string& baudRateText) {
  if (const auto rate = BaudRateFromText(baudRateText)) context_.port.SetBaudRate(*rate);

  if (context_.settings.ComPort == kNoComPort) {
    ShowStopped();
    SelectFirstEntry();
    return;
  }
  if (TryOpen(context_.settings.ComPort)) {
    ShowRunning();
    return;
  }
  context_.showMessageBox(kMessageConfiguredPortBusy);
  ShowStopped();
  SelectFirstEntry();
}

bool PortControls::ReopenConfiguredPort() {
  if (!IsStopped() || context_.settings.ComPort == kNoComPort) return false;
  if (!TryOpen(context_.settings.ComPort)) return false;
  ShowRunning();
  ReportPortState();
  return true;
}

bool PortControls::CloseFailedPort() {
  if (!IsRunning() || !context_.port.IsOpen()) return false;
  context_.port.Close();
  ShowStopped();
  ReportPortState();
  return true;
}

void PortControls::RescanPorts() {
  // Trial opens of other ports must never disturb a running port.
  if (context_.port.IsOpen()) return;
  context_.view.ClearPortList();
  for (int n = 1; n <= kScannedPortCount; ++n) {
    const std::string name = "COM" + std::to_string(n);
    if (TryOpen(name)) {
      context_.port.Close();
      context_.view.AppendPortListItem(name);
    }
  }
  SelectFirstEntry();
  SaveChosenPort();
}

void PortControls::StartOrStop() {
  if (IsRunning()) {
    if (context_.askCloseCode() == CloseCodeAnswer::kAccepted) {
      if (context_.port.IsOpen()) context_.port.Close();
      ShowStopped();
    } else {
      context_.showMessageBox(kMessageAccessDenied);
    }
  } else if (TryOpen(context_.view.PortListText())) {
    context_.port.SetDtr(true);
    ShowRunning();
  } else {
    context_.showMessageBox(kMessagePortBusy);
    RescanPorts();
  }
  ReportPortState();
}

void PortControls::SaveChosenPort() {
  if (!IsStopped()) return;
  try {
    const std::string chosen = context_.view.PortListText();
    context_.saveComPort(chosen);
    context_.settings.ComPort = chosen;
  } catch (...) {
    context_.writeErrorCode(kErrorPortSelection);
    return;
  }
  ReportPortState();
}

}  // namespace drv
