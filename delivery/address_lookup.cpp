#include "delivery/address_lookup.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace drv {

struct AddressLookup::Shared {
  std::mutex mutex;
  std::condition_variable changed;  // a lookup finished, or Cancel() was called
  bool cancelled = false;
};

namespace {

// What one name lookup's thread found, under Shared::mutex.
struct Answer {
  bool done = false;
  std::vector<SocketAddress> addresses;
};

}  // namespace

AddressLookup::AddressLookup(Resolver resolver)
    : resolver_(std::move(resolver)), shared_(std::make_shared<Shared>()) {}

AddressLookup::~AddressLookup() = default;

std::vector<SocketAddress> AddressLookup::Resolve(const std::string& host, int port,
                                                  std::chrono::steady_clock::time_point deadline) {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->cancelled) return {};
  }
  std::vector<SocketAddress> numeric = resolver_(host, port, /*numericOnly=*/true);
  if (!numeric.empty()) return numeric;

  // The thread holds its own share of everything it touches: the caller may give up and go.
  auto answer = std::make_shared<Answer>();
  std::thread([shared = shared_, answer, resolver = resolver_, host, port] {
    std::vector<SocketAddress> found = resolver(host, port, /*numericOnly=*/false);
    std::lock_guard lock(shared->mutex);
    answer->addresses = std::move(found);
    answer->done = true;
    shared->changed.notify_all();
  }).detach();

  std::unique_lock lock(shared_->mutex);
  shared_->changed.wait_until(lock, deadline, [&] { return answer->done || shared_->cancelled; });
  if (!answer->done || shared_->cancelled) return {};
  return std::move(answer->addresses);
}

void AddressLookup::Cancel() {
  std::lock_guard lock(shared_->mutex);
  shared_->cancelled = true;
  shared_->changed.notify_all();
}

}  // namespace drv
