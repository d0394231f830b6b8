#include "web/http_handoff.h"

#include <algorithm>

#include "base/stream.h"
#include "base/threads.h"
#include "web/fetch.h"

namespace qelvora {
namespace {

std::atomic<int> runningThreads{0};

// How long one sleep lasts between two rounds of serving the caller's events.
constexpr std::chrono::milliseconds kEventSlice{15};

}  // namespace

RequestHandoff::RequestHandoff() : stream(openMemoryStream()) {}

RequestHandoff::~RequestHandoff() {
  closeNow();
}

void RequestHandoff::closeNow() {
  if (stream != 0) closeStream(stream);
  stream = 0;
}

bool startRequestThread(std::shared_ptr<RequestHandoff> handoff,
                        std::function<void(RequestHandoff&)> work) {
  ++runningThreads;
  bool started = startWorker([handoff = std::move(handoff), work = std::move(work)]() mutable {
    work(*handoff);
    {
      std::lock_guard lock(handoff->mutex);
      handoff->finished = true;
    }
    handoff->done.notify_all();
    handoff.reset();  // the stream is released here when the client has already let go
    --runningThreads;
  });
  if (!started) --runningThreads;
  return started;
}

bool waitForRequest(RequestHandoff& handoff, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(handoff.mutex);
  while (!handoff.finished) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    lock.unlock();
    processEvents();
    lock.lock();
    if (handoff.finished) break;
    handoff.done.wait_until(lock,
                            std::min(deadline, std::chrono::steady_clock::now() + kEventSlice));
  }
  return true;
}

int runningRequestThreads() {
  return runningThreads.load();
}

}  // namespace qelvora
