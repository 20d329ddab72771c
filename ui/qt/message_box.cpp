#include "ui/qt/message_box.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "ui/qt/style.h"
#include "ui/window_texts.h"

namespace drv {

Tadvsm::Tadvsm(QWidget* parent)
    : QDialog(parent), text_(new QLabel(this)), okButton_(new QPushButton(this)) {
  setObjectName("advsm");
  setWindowTitle(kMessageBoxTitle);
  setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
  setModal(true);
  ApplyDriverStyle(*this);

  text_->setObjectName("MessageText");
  text_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

  okButton_->setObjectName("MessageOkButton");
  okButton_->setText(kOkCaption);
  okButton_->setDefault(true);
  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);

  SetText(QString());
}

void Tadvsm::SetText(const QString& text) {
  // Characters, not UTF-16 units, so that any text is sized by what the operator sees.
  const MessageBoxGeometry geometry = MessageBoxLayout(static_cast<int>(text.toUcs4().size()));
  text_->setText(text);
  text_->setGeometry(geometry.textLeft, geometry.textTop, geometry.textWidth, geometry.textHeight);
  okButton_->setGeometry(geometry.buttonLeft, geometry.buttonTop, geometry.buttonWidth,
                         geometry.buttonHeight);
  // A window cannot be narrower than one pixel; only an empty text comes near that.
  setFixedSize(std::max(geometry.width, 1), geometry.height);
}

QString Tadvsm::Text() const {
  return text_->text();
}

void Tadvsm::ShowMessageBox(const std::string& text) {
  // One box at a time: a message raised while the box is up (from a handler run by its own event
  // loop) would otherwise replace the text the operator is reading.
  if (dismissed_ || isVisible()) return;
  SetText(QString::fromStdString(text));
  CentreOnScreen(*this);
  okButton_->setFocus();
  exec();
}

void Tadvsm::Dismiss() {
  dismissed_ = true;
  if (isVisible()) done(QDialog::Rejected);
}

}  // namespace drv
