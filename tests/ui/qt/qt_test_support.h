#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <gtest/gtest.h>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace drv::testing {

// The one QApplication of a test program, on the offscreen platform unless told otherwise. It is
// destroyed when the tests end, before the program's static objects, on which Qt's end relies.
class QtApplicationEnvironment final : public ::testing::Environment {
 public:
  static QApplication& Application() {
    static int argc = 1;
    static char name[] = "drv_ui_test";
    static char* argv[] = {name, nullptr};
    if (app_ == nullptr) {
      // Widget tests need no display, whoever runs them.
      if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
      app_ = new QApplication(argc, argv);
    }
    return *app_;
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  static inline QApplication* app_ = nullptr;
};

inline const bool kQtApplicationEnvironmentAdded =
    (::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment), true);

inline QApplication& TestApplication() {
  return QtApplicationEnvironment::Application();
}

// Declared before the widgets of a fixture, so that the application exists before them.
struct QtApplicationUser {
  QtApplicationUser() { TestApplication(); }
};

// Safety bound for anything that waits on the event loop; never the thing a test asserts.
inline constexpr int kSafetyBoundMs = 10000;

// Runs `action` with the modal dialog named `objectName` once it is shown, from inside its own
// event loop. Call it before the call that shows the dialog modally. Should no such dialog appear
// within the safety bound, the test fails; should it still be open long after the action, it is
// rejected so that the test cannot hang.
inline void WhenModalShown(const QString& objectName, std::function<void(QWidget& dialog)> action) {
  auto* poll = new QTimer(&TestApplication());
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  auto acted = std::make_shared<bool>(false);
  auto target = std::make_shared<QPointer<QWidget>>();
  poll->setInterval(5);
  QObject::connect(poll, &QTimer::timeout, [=, action = std::move(action)] {
    const auto finish = [poll] {
      poll->stop();
      poll->deleteLater();
    };
    if (!*acted) {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal != nullptr && modal->isVisible() && modal->objectName() == objectName) {
        *acted = true;
        *target = modal;
        clock->restart();
        action(*modal);
      } else if (clock->elapsed() > kSafetyBoundMs) {
        ADD_FAILURE() << "no modal dialog " << objectName.toStdString() << " appeared";
        finish();
      }
      return;
    }
    QWidget* shown = target->data();
    if (shown == nullptr || shown->isHidden()) {
      finish();
    } else if (clock->elapsed() > kSafetyBoundMs) {
      ADD_FAILURE() << "the modal dialog " << objectName.toStdString() << " stayed open";
      if (auto* dialog = qobject_cast<QDialog*>(shown)) dialog->reject();
      finish();
    }
  });
  poll->start();
}

// Processes events until `done` holds or the safety bound passes; returns `done()`.
inline bool ProcessEventsUntil(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < kSafetyBoundMs) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return done();
}

}  // namespace drv::testing

namespace drv::testing {

// Key presses as the keyboard would send them to `widget` (and, when ignored, to its parents).
inline void PressKey(QWidget& widget, int key, const QString& text = QString()) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(&widget, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QApplication::sendEvent(&widget, &release);
}

inline void TypeText(QWidget& widget, const QString& text) {
  for (const QChar ch : text) {
    const int key = ch.isDigit() ? Qt::Key_0 + ch.digitValue() : ch.toUpper().unicode();
    PressKey(widget, key, QString(ch));
  }
}

}  // namespace drv::testing
