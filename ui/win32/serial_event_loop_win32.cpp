#include "ui/win32/serial_event_loop_win32.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace drv {

namespace {

constexpr DWORD kWatchedEvents = EV_RXCHAR | EV_ERR;
// How often the input queue is looked at on a port whose events cannot be waited for.
constexpr DWORD kPollPeriodMs = 5;
// Windows 10 1803 and later: a timer that is not rounded to the system timer's 15.6 ms.
constexpr DWORD kHighResolutionTimer = 0x00000002;

HANDLE CreatePreciseTimer() {
  const HANDLE timer =
      CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
  return timer != nullptr ? timer : CreateWaitableTimerW(nullptr, FALSE, nullptr);
}

}  // namespace

struct Win32SerialEventLoop::State {
  State(IClock& c, IMainThreadQueue& m)
      : clock(c),
        mainThread(m),
        wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
        timer(CreatePreciseTimer()) {}
  ~State() {
    if (wake != nullptr) CloseHandle(wake);
    if (timer != nullptr) CloseHandle(timer);
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  IClock& clock;
  IMainThreadQueue& mainThread;
  const HANDLE wake;  // auto-reset: the main thread changed a request
  const HANDLE timer;

  // Shared with the helper, under the mutex.
  std::mutex mutex;
  std::condition_variable changed;
  HANDLE port = nullptr;        // the port to watch; null for none
  uint64_t watchRequest = 0;    // counts Watch and Unwatch calls
  uint64_t watchTakenUp = 0;    // the request the helper acts on
  bool awaitingMain = false;    // "readable" posted, its callback not yet run
  bool timerRequested = false;  // armed, with the delay below
  int64_t timerDelay100ns = 0;
  uint64_t timerRequest = 0;  // the timer generation that the arming is for
  bool timerChanged = false;
  bool stop = false;
  bool helperEnded = false;

  // Main thread only.
  bool alive = true;
  std::function<void()> onReadable;
  uint64_t currentWatch = 0;
  std::function<void()> onTimeout;
  uint64_t currentTimer = 0;
  uint64_t timerDueUs = 0;
  bool timerArmed = false;

  // On the main thread, for the helper's report of generation `watch`.
  void Readable(uint64_t watch) {
    if (alive && watch == currentWatch && onReadable) {
      const std::function<void()> call = onReadable;  // it may Unwatch
      call();
    }
    std::lock_guard lock(mutex);
    if (watch == watchRequest) {
      awaitingMain = false;
      SetEvent(wake);
    }
  }

  // On the main thread, for the timer of generation `generation`.
  void TimerFired(uint64_t generation) {
    if (!alive || !timerArmed || generation != currentTimer) return;
    const uint64_t now = clock.MicrosecondCount();
    if (now < timerDueUs) {
      RequestTimer(timerDueUs - now, generation);
      return;
    }
    timerArmed = false;
    const std::function<void()> call = std::exchange(onTimeout, nullptr);
    if (call) call();
  }

  void RequestTimer(uint64_t delayUs, uint64_t generation) {
    std::lock_guard lock(mutex);
    timerRequested = true;
    // At least one unit: a relative due time of 0 would be read as an absolute one.
    timerDelay100ns = static_cast<int64_t>(std::max<uint64_t>(delayUs * 10, 1));
    timerRequest = generation;
    timerChanged = true;
    SetEvent(wake);
  }

  void CancelTimerRequest() {
    std::lock_guard lock(mutex);
    timerRequested = false;
    timerChanged = true;
    SetEvent(wake);
  }
};

Win32SerialEventLoop::Win32SerialEventLoop(IClock& clock, IMainThreadQueue& mainThread)
    : clock_(clock), state_(std::make_shared<State>(clock, mainThread)) {
  helper_ = std::thread(HelperMain, state_);
}

Win32SerialEventLoop::~Win32SerialEventLoop() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
    SetEvent(state_->wake);
  }
  helper_.join();
  state_->alive = false;
  state_->onReadable = nullptr;
  state_->onTimeout = nullptr;
}

void Win32SerialEventLoop::Watch(SerialReadinessHandle handle, std::function<void()> onReadable) {
  state_->onReadable = std::move(onReadable);
  SetWatch(handle);
}

void Win32SerialEventLoop::Unwatch() {
  state_->onReadable = nullptr;
  SetWatch(kNoReadinessHandle);
}

void Win32SerialEventLoop::SetWatch(SerialReadinessHandle handle) {
  std::unique_lock lock(state_->mutex);
  state_->port = handle == kNoReadinessHandle ? nullptr : reinterpret_cast<HANDLE>(handle);
  const uint64_t request = ++state_->watchRequest;
  state_->currentWatch = request;
  state_->awaitingMain = false;
  SetEvent(state_->wake);
  // The helper leaves the old port before the caller may close it.
  state_->changed.wait(lock,
                       [&] { return state_->watchTakenUp == request || state_->helperEnded; });
}

void Win32SerialEventLoop::StartTimer(uint64_t delayUs, std::function<void()> onTimeout) {
  State& state = *state_;
  state.onTimeout = std::move(onTimeout);
  state.timerArmed = true;
  const uint64_t generation = ++state.currentTimer;
  state.timerDueUs = clock_.MicrosecondCount() + delayUs;
  if (delayUs > 0) {
    state.RequestTimer(delayUs, generation);
    return;
  }
  state.CancelTimerRequest();
  std::shared_ptr<State> shared = state_;
  state.mainThread.Post([shared, generation] { shared->TimerFired(generation); });
}

void Win32SerialEventLoop::StopTimer() {
  state_->timerArmed = false;
  state_->onTimeout = nullptr;
  ++state_->currentTimer;
  state_->CancelTimerRequest();
}

bool Win32SerialEventLoop::Watching() const {
  return static_cast<bool>(state_->onReadable);
}

bool Win32SerialEventLoop::TimerActive() const {
  return state_->timerArmed;
}

void Win32SerialEventLoop::HelperMain(std::shared_ptr<State> state) {
  OVERLAPPED wait{};
  wait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD mask = 0;
  HANDLE port = nullptr;
  uint64_t watch = 0;
  bool pending = false;  // a WaitCommEvent on `port` is outstanding
  // The port's events cannot be waited for (a wait is refused or ends cancelled, as under Wine on
  // a pseudo-terminal): its input queue is looked at every few milliseconds instead.
  bool polling = false;
  bool report = false;
  uint64_t armedTimer = 0;

  const auto post = [&](std::function<void()> task) { return state->mainThread.Post(task); };

  for (;;) {
    HANDLE wantedPort = nullptr;
    uint64_t wantedWatch = 0;
    bool mayWait = false;
    bool stop = false;
    {
      std::lock_guard lock(state->mutex);
      stop = state->stop;
      wantedPort = state->port;
      wantedWatch = state->watchRequest;
      mayWait = !state->awaitingMain;
      if (state->timerChanged) {
        state->timerChanged = false;
        if (state->timerRequested) {
          LARGE_INTEGER due{};
          due.QuadPart = -state->timerDelay100ns;  // negative: relative to now
          SetWaitableTimer(state->timer, &due, 0, nullptr, nullptr, FALSE);
          armedTimer = state->timerRequest;
        } else {
          CancelWaitableTimer(state->timer);
        }
      }
    }
    if (pending && (stop || wantedWatch != watch)) {
      CancelIoEx(port, &wait);
      DWORD ignored = 0;
      GetOverlappedResult(port, &wait, &ignored, TRUE);
      pending = false;
    }
    if (wantedWatch != watch) {
      port = wantedPort;
      watch = wantedWatch;
      polling = port != nullptr && !SetCommMask(port, kWatchedEvents);
      // Input that came before the mask was set raises no event: the first report looks.
      report = port != nullptr;
      std::lock_guard lock(state->mutex);
      state->watchTakenUp = watch;
      state->changed.notify_all();
    }
    if (stop) break;

    if (!report && port != nullptr && !pending && !polling && mayWait) {
      ResetEvent(wait.hEvent);
      if (WaitCommEvent(port, &mask, &wait)) {
        report = true;
      } else if (GetLastError() == ERROR_IO_PENDING) {
        pending = true;
      } else {
        polling = true;
      }
    }
    // A report waits until the main thread has run the previous one.
    if (!(report && mayWait)) {
      const HANDLE handles[3] = {state->wake, state->timer, wait.hEvent};
      const bool poll = port != nullptr && polling && mayWait;
      const DWORD woken =
          WaitForMultipleObjects(pending ? 3 : 2, handles, FALSE, poll ? kPollPeriodMs : INFINITE);
      if (woken == WAIT_TIMEOUT && poll) {
        // Input waiting, or a port that fails the query, is the main thread's to read.
        DWORD errors = 0;
        COMSTAT status{};
        report = !ClearCommError(port, &errors, &status) || status.cbInQue > 0;
      } else if (woken == WAIT_OBJECT_0 + 1) {
        const uint64_t generation = armedTimer;
        post([state, generation] { state->TimerFired(generation); });
      } else if (woken == WAIT_OBJECT_0 + 2) {
        DWORD ignored = 0;
        pending = false;
        if (GetOverlappedResult(port, &wait, &ignored, FALSE)) {
          report = true;
        } else {
          polling = true;
        }
      }
    }
    if (report && mayWait) {
      report = false;
      {
        std::lock_guard lock(state->mutex);
        if (state->watchRequest != watch) continue;
        state->awaitingMain = true;
      }
      const uint64_t generation = watch;
      post([state, generation] { state->Readable(generation); });
    }
  }
  CloseHandle(wait.hEvent);
  std::lock_guard lock(state->mutex);
  state->helperEnded = true;
  state->changed.notify_all();
}

}  // namespace drv
