#pragma once

#include <string>

#include <QDialog>

class QLabel;
class QPushButton;

namespace drv {

// Where everything of the message box goes for a text of `characterCount` characters: 10 pixels
// per character for the window and the text line, the button centred below (its left edge may be
// negative for short texts; it is not moved into view), the height fixed.
struct MessageBoxGeometry {
  int width = 0;
  int height = 0;
  int textLeft = 0;
  int textTop = 0;
  int textWidth = 0;
  int buttonLeft = 0;
  int buttonTop = 0;
  int buttonWidth = 0;
  int buttonHeight = 0;
};

MessageBoxGeometry MessageBoxLayout(int characterCount);

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
