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
  HANDLE port = nullptr;      // the port to watch; null for none
  uint64_t watchRequest = 0;  // counts Watch and Unwatch calls
  uint64_t watchTakenUp = 0;  // the request the helper acts on
  bool awaitingMain = false;  // "readable" posted, its callback not yet run
  // The system timer as the main thread last asked for it.
  struct TimerRequest {
    bool changed = false;  // not yet applied by the helper
    bool armed = false;
    int64_t delay100ns = 0;
    uint64_t generation = 0;  // of the StartTimer that asked
  };
  TimerRequest timerRequest;
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
    // At least one unit: a relative due time of 0 would be read as an absolute one.
    const auto delay100ns = static_cast<int64_t>(std::max<uint64_t>(delayUs * 10, 1));
    timerRequest = {
        .changed = true, .armed = true, .delay100ns = delay100ns, .generation = generation};
    SetEvent(wake);
  }

  void CancelTimerRequest() {
    std::lock_guard lock(mutex);
    timerRequest.armed = false;
    timerRequest.changed = true;
    SetEvent(wake);
  }
};

// The helper thread. Each turn it takes up what the main thread asked for, starts a wait on the
// port when none is outstanding, sleeps until the port, the timer or the main thread wakes it, and
// posts what it learned to the main thread.
class Win32SerialEventLoop::Helper {
 public:
  explicit Helper(std::shared_ptr<State> state) : state_(std::move(state)) {
    portWait_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~Helper() { CloseHandle(portWait_.hEvent); }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  void Run() {
    for (;;) {
      const Requests requests = TakeRequests();
      const bool newWatch = requests.watch != port_.watch;
      if (requests.stop || newWatch) CancelPortWait();
      if (newWatch) TakeUpPort(requests.port, requests.watch);
      if (requests.stop) return;
      if (!requests.mayReport) {
        // A report waits until the main thread has run the previous one.
        SleepUntilWoken(/*poll=*/false);
        continue;
      }
      if (!port_.reportDue) StartPortWait();
      if (!port_.reportDue) SleepUntilWoken(/*poll=*/port_.mode == Mode::kPolling);
      if (port_.reportDue) PostReadable();
    }
  }

 private:
  // What the main thread asks for, as the helper takes it at the start of a turn.
  struct Requests {
    bool stop = false;
    HANDLE port = nullptr;
    uint64_t watch = 0;      // the Watch or Unwatch call that asked for `port`
    bool mayReport = false;  // the main thread has run the previous report's callback
  };

  // The port as the helper watches it.
  struct WatchedPort {
    enum class Mode {
      kNone,     // no port
      kEvents,   // its events are waited for; no wait outstanding
      kWaiting,  // a WaitCommEvent is outstanding on `portWait_`
      // Its events cannot be waited for (a wait is refused or ends cancelled, as under Wine on a
      // pseudo-terminal): its input queue is looked at every few milliseconds instead.
      kPolling,
    };
    HANDLE handle = nullptr;
    uint64_t watch = 0;
    Mode mode = Mode::kNone;
    bool reportDue = false;  // input, or a failure, for the main thread to read
  };
  using Mode = WatchedPort::Mode;

  Requests TakeRequests() {
    std::lock_guard lock(state_->mutex);
    ApplyTimerRequest();
    return {state_->stop, state_->port, state_->watchRequest, !state_->awaitingMain};
  }

  // Under the state's mutex.
  void ApplyTimerRequest() {
    State::TimerRequest& request = state_->timerRequest;
    if (!request.changed) return;
    request.changed = false;
    if (!request.armed) {
      CancelWaitableTimer(state_->timer);
      return;
    }
    LARGE_INTEGER due{};
    due.QuadPart = -request.delay100ns;  // negative: relative to now
    SetWaitableTimer(state_->timer, &due, 0, nullptr, nullptr, FALSE);
    armedTimer_ = request.generation;
  }

  // Leaves the port before the main thread may close it.
  void CancelPortWait() {
    if (port_.mode != Mode::kWaiting) return;
    CancelIoEx(port_.handle, &portWait_);
    DWORD ignored = 0;
    GetOverlappedResult(port_.handle, &portWait_, &ignored, TRUE);
    port_.mode = Mode::kEvents;
  }

  void TakeUpPort(HANDLE handle, uint64_t watch) {
    port_.handle = handle;
    port_.watch = watch;
    if (handle == nullptr) {
      port_.mode = Mode::kNone;
    } else {
      port_.mode = SetCommMask(handle, kWatchedEvents) ? Mode::kEvents : Mode::kPolling;
    }
    // Input that came before the mask was set raises no event: the first report looks.
    port_.reportDue = handle != nullptr;
    std::lock_guard lock(state_->mutex);
    state_->watchTakenUp = watch;
    state_->changed.notify_all();
  }

  void StartPortWait() {
    if (port_.mode != Mode::kEvents) return;
    ResetEvent(portWait_.hEvent);
    if (WaitCommEvent(port_.handle, &eventMask_, &portWait_)) {
      port_.reportDue = true;
    } else if (GetLastError() == ERROR_IO_PENDING) {
      port_.mode = Mode::kWaiting;
    } else {
      port_.mode = Mode::kPolling;
    }
  }

  // `poll`: looks at the input queue after a few milliseconds unless woken before.
  void SleepUntilWoken(bool poll) {
    enum : DWORD { kWoken = WAIT_OBJECT_0, kTimerDue, kPortEvent };
    const HANDLE handles[3] = {state_->wake, state_->timer, portWait_.hEvent};
    const DWORD count = port_.mode == Mode::kWaiting ? 3 : 2;
    const DWORD woken =
        WaitForMultipleObjects(count, handles, FALSE, poll ? kPollPeriodMs : INFINITE);
    if (woken == WAIT_TIMEOUT && poll) {
      LookAtInputQueue();
    } else if (woken == kTimerDue) {
      PostTimerFired();
    } else if (woken == kPortEvent) {
      FinishPortWait();
    }
    // kWoken: the next turn takes up what the main thread changed.
  }

  void FinishPortWait() {
    DWORD ignored = 0;
    if (GetOverlappedResult(port_.handle, &portWait_, &ignored, FALSE)) {
      port_.mode = Mode::kEvents;
      port_.reportDue = true;
    } else {
      port_.mode = Mode::kPolling;
    }
  }

  // Input waiting, or a port that fails the query, is the main thread's to read.
  void LookAtInputQueue() {
    DWORD errors = 0;
    COMSTAT status{};
    port_.reportDue = !ClearCommError(port_.handle, &errors, &status) || status.cbInQue > 0;
  }

  void PostTimerFired() {
    const uint64_t generation = armedTimer_;
    std::shared_ptr<State> state = state_;
    state_->mainThread.Post([state, generation] { state->TimerFired(generation); });
  }

  // Dropped when the main thread has asked for another port meanwhile: the next turn takes
  // that one up and reports it afresh.
  void PostReadable() {
    port_.reportDue = false;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->watchRequest != port_.watch) return;
      state_->awaitingMain = true;
    }
    const uint64_t generation = port_.watch;
    std::shared_ptr<State> state = state_;
    state_->mainThread.Post([state, generation] { state->Readable(generation); });
  }

  std::shared_ptr<State> state_;
  OVERLAPPED portWait_{};
  DWORD eventMask_ = 0;  // what WaitCommEvent reports; every event is reported alike
  WatchedPort port_;
  uint64_t armedTimer_ = 0;  // the timer generation the system timer is set for
};

Win32SerialEventLoop::Win32SerialEventLoop(IClock& clock, IMainThreadQueue& mainThread)
    : clock_(clock), state_(std::make_shared<State>(clock, mainThread)) {
  helper_ = std::thread([state = state_] {
    Helper(state).Run();
    std::lock_guard lock(state->mutex);
    state->helperEnded = true;
    state->changed.notify_all();
  });
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

}  // namespace drv
