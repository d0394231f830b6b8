// Worker threads and waits that keep the calling thread's events served.
//
// base/ knows no event loop: the application installs hooks (the Qt GUI thread's event processing),
// and threads without hooks simply sleep.
#pragma once

#include <cstdint>
#include <functional>

namespace qelvora {

// Starts routine on a new detached thread; false when the thread cannot be created.
bool startWorker(std::function<void()> routine);
// Workers whose routine has not returned yet (for tests, which must outlive what they start).
int runningWorkers();

// Milliseconds since the computer started (CLOCK_MONOTONIC), wrapping at 2^32.
std::uint32_t tickCount();

struct EventHooks {
  // Dispatches the calling thread's pending events; returns at once when there are none.
  std::function<void()> processEvents;
  // Sleeps until an event arrives for the calling thread or the timeout (milliseconds) passes.
  std::function<void(int timeoutMs)> waitForEvents;
  // True when the hooks apply to the calling thread (for example: it is the GUI thread).
  std::function<bool()> appliesHere;
};
void installEventHooks(EventHooks hooks);

// Processes the calling thread's pending events (nothing on a thread without an event loop).
void processEvents();
// Returns after strictly more than milliseconds have passed, serving the calling thread's events
// meanwhile and sleeping between them; returns at once when milliseconds <= 0.
void waitWithEvents(int milliseconds);

// With instant waits on (the terminal tool's --instant), waitWithEvents processes pending events
// once and returns without waiting for the clock.
void setInstantWaits(bool on);
bool instantWaits();

}  // namespace qelvora
