#include "ui/qt/main_thread_qt.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

#include <QSocketNotifier>

namespace drv {
namespace {

int MakeWakeFd() {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw std::runtime_error("eventfd failed");
  return fd;
}

}  // namespace

QtMainThread::QtMainThread()
    : wakeFd_(MakeWakeFd()), tasks_([fd = wakeFd_] {
        const uint64_t one = 1;
        // The counter only overflows after 2^64 - 1 unread wake-ups; a failed write is one of
        // many.
        [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
      }) {
  wakeNotifier_ = std::make_unique<QSocketNotifier>(wakeFd_, QSocketNotifier::Read);
  QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, [this] {
    uint64_t wakeUps = 0;
    [[maybe_unused]] const ssize_t drained = read(wakeFd_, &wakeUps, sizeof wakeUps);
    tasks_.RunQueued();
  });
}

QtMainThread::~QtMainThread() {
  tasks_.Stop();
  wakeNotifier_.reset();
  close(wakeFd_);
}

}  // namespace drv
