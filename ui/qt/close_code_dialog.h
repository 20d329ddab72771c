#pragma once

#include <string_view>

#include <QDialog>

#include "app/close_code.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace drv {

// The close-code dialog: guards closing the driver and stopping its port. One instance lives for
// the whole program, so the entry keeps the last typed text between requests.
class TForm2 final : public QDialog {
  Q_OBJECT

 public:
  explicit TForm2(QWidget* parent = nullptr);

  // Shows the dialog modally. "ОК" gives Accepted when the entry equals `closeCode` exactly and
  // WrongCode otherwise; "Отмена" or the window's close button give Cancelled. Gives Cancelled at
  // once while the dialog is already shown or the program is ending (see Dismiss).
  CloseCodeAnswer AskCloseCode(std::string_view closeCode);

  // Closes the dialog (as a cancel) if it is shown and keeps it from showing again.
  void Dismiss();

  QLineEdit* Entry() const { return entry_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // The entry takes the focus with its whole text selected, so typing replaces it.
  void SelectEntry();

  QLabel* prompt_;
  QLineEdit* entry_;
  QPushButton* okButton_;
  QPushButton* cancelButton_;
  bool dismissed_ = false;
};

}  // namespace drv
