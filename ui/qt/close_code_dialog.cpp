#include "ui/qt/close_code_dialog.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "ui/qt/style.h"
#include "ui/window_texts.h"

namespace drv {
namespace {

constexpr int kWidth = 281;
constexpr int kHeight = 93;
constexpr int kCodeLength = 5;

// Masks typed characters with "*" whatever the platform's own mask character (often a bullet). A
// style rule would do it too, but the line edit reads the rule only at its next style change.
class StarMaskStyle final : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

QPushButton* MakeButton(QWidget* parent, const char* objectName, const QString& text, int left) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(objectName);
  button->setGeometry(left, 60, 72, 25);
  // Neither Enter nor Escape presses a button of this dialog.
  button->setAutoDefault(false);
  button->setDefault(false);
  return button;
}

}  // namespace

TForm2::TForm2(QWidget* parent)
    : QDialog(parent),
      prompt_(new QLabel(kCloseCodePrompt, this)),
      entry_(new QLineEdit(this)),
      okButton_(MakeButton(this, "OkButton", kOkCaption, 58)),
      cancelButton_(MakeButton(this, "CancelButton", kCancelCaption, 151)) {
  setObjectName("TForm2");
  setWindowTitle(kCloseCodeDialogTitle);
  setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
  setModal(true);
  setFixedSize(kWidth, kHeight);
  ApplyDriverStyle(*this);

  prompt_->setObjectName("PromptLabel");
  prompt_->setAlignment(Qt::AlignCenter);
  prompt_->setGeometry(4, 6, kWidth - 8, 22);

  entry_->setObjectName("MaskEdit1");
  entry_->setGeometry(88, 32, 105, 21);
  entry_->setMaxLength(kCodeLength);
  entry_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,5}"), entry_));
  auto* maskStyle = new StarMaskStyle;
  maskStyle->setParent(entry_);
  entry_->setStyle(maskStyle);
  entry_->setEchoMode(QLineEdit::Password);

  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
}

CloseCodeAnswer TForm2::AskCloseCode(std::string_view closeCode) {
  // A second request while the dialog is up (the tray menu stays usable) is not confirmed.
  if (dismissed_ || isVisible()) return CloseCodeAnswer::kCancelled;
  CentreOnScreen(*this);
  if (exec() != QDialog::Accepted || dismissed_) return CloseCodeAnswer::kCancelled;
  return JudgeCloseCode(entry_->text().toStdString(), closeCode);
}

void TForm2::Dismiss() {
  dismissed_ = true;
  if (isVisible()) done(QDialog::Rejected);
}

void TForm2::SelectEntry() {
  entry_->setFocus(Qt::OtherFocusReason);
  entry_->selectAll();
}

void TForm2::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  SelectEntry();
}

// Each time the dialog becomes active again: the operator may have turned to another window,
// and comes back to type the code afresh.
void TForm2::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) SelectEntry();
}

void TForm2::keyPressEvent(QKeyEvent* event) {
  // Escape would reject the dialog and Enter would press a default button; neither is wanted.
  if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return ||
      event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace drv
