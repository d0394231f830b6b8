#include "base/threads.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace qelvora {

namespace {

std::mutex hooksMutex;
std::shared_ptr<const EventHooks> currentHooks;
std::atomic<bool> instant{false};
std::atomic<int> workers{0};  // started and not yet returned

// The hooks when they serve the calling thread, else null.
std::shared_ptr<const EventHooks> hooksHere() {
  std::shared_ptr<const EventHooks> hooks;
  {
    std::lock_guard lock(hooksMutex);
    hooks = currentHooks;
  }
  if (!hooks || (hooks->appliesHere && !hooks->appliesHere())) return nullptr;
  return hooks;
}

}  // namespace

bool startWorker(std::function<void()> routine) {
  if (!routine) return false;
  ++workers;
  try {
    std::thread([routine = std::move(routine)] {
      routine();
      --workers;
    }).detach();
    return true;
  } catch (const std::system_error&) {
    --workers;
    return false;
  }
}

int runningWorkers() {
  return workers.load();
}

std::uint32_t tickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // wraps like the platform tick count
}

void installEventHooks(EventHooks hooks) {
  auto shared = std::make_shared<const EventHooks>(std::move(hooks));
  std::lock_guard lock(hooksMutex);
  currentHooks = std::move(shared);
}

void processEvents() {
  if (auto hooks = hooksHere(); hooks && hooks->processEvents) hooks->processEvents();
}

void waitWithEvents(int milliseconds) {
  if (milliseconds <= 0) return;
  const auto hooks = hooksHere();
  if (instant.load()) {
    if (hooks && hooks->processEvents) hooks->processEvents();
    return;
  }
  const std::uint32_t begin = tickCount();
  const auto limit = static_cast<std::uint32_t>(milliseconds);
  for (;;) {
    if (hooks && hooks->processEvents) hooks->processEvents();
    // Unsigned difference: correct across the 2^32 wrap.
    const std::uint32_t elapsed = tickCount() - begin;
    if (elapsed > limit) return;
    // Sleep until an event comes or the wait is over; never spin.
    const std::uint32_t left = limit - elapsed + 1;  // at most 2^31, no overflow in unsigned
    const int remaining = left > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(left);
    if (hooks && hooks->waitForEvents) {
      hooks->waitForEvents(remaining);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(remaining));
    }
  }
}

void setInstantWaits(bool on) {
  instant.store(on);
}

bool instantWaits() {
  return instant.load();
}

}  // namespace qelvora
