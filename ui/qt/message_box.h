#pragma once

#include <string>

#include <QDialog>

#include "ui/message_box_layout.h"

class QLabel;
class QPushButton;

namespace drv {

// The driver's message box: one line of text and "ОК", sized to the text. One instance lives for
// the whole program and is reused.
class Tadvsm final : public QDialog {
  Q_OBJECT

 public:
  explicit Tadvsm(QWidget* parent = nullptr);

  // Shows `text` modally, the event loop running meanwhile; returns when the box is closed.
  // Returns at once, showing nothing, while the box is already shown or the program is ending
  // (see Dismiss).
  void ShowMessageBox(const std::string& text);

  // Puts the text in and sizes the box without showing it.
  void SetText(const QString& text);
  QString Text() const;

  // Closes the box if it is shown and keeps it from showing again: the program is ending.
  void Dismiss();

 private:
  QLabel* text_;
  QPushButton* okButton_;
  bool dismissed_ = false;
};

}  // namespace drv
