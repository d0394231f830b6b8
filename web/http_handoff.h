// The hand-over between a page-fetch client and its request thread: a byte stream that carries the
// request and the reply records, plus the signal that the thread is done. Both sides own it, so a
// request thread that the client stopped waiting for still has it until it lets go.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "base/bytes.h"
#include "web/request_log.h"

namespace qelvora {

struct RequestHandoff {
  RequestHandoff();
  ~RequestHandoff();
  RequestHandoff(const RequestHandoff&) = delete;
  RequestHandoff& operator=(const RequestHandoff&) = delete;

  // The stream is used by the client before the thread starts and after it has finished, by the
  // thread in between; an abandoned hand-over is never touched by the client again.
  int stream = 0;
  // The reply's body travels beside the stream, moved rather than copied twice through it: the
  // stream's body record is then an empty block.
  Bytes body;
  std::atomic<bool> abandoned{false};
  // What became of the request, written by the thread; the client adds method, URL and time and
  // reports it (only the client reports, so an abandoned request is never reported twice).
  RequestRecord outcome;

  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;

  // Closes the stream early (the client has read the reply).
  void closeNow();
};

// Runs work on a new request thread of its own; false when the thread cannot be started.
bool startRequestThread(std::shared_ptr<RequestHandoff> handoff,
                        std::function<void(RequestHandoff&)> work);

// Waits until the request thread has finished or the deadline has passed, serving the calling
// thread's events meanwhile; true when it finished.
bool waitForRequest(RequestHandoff& handoff, std::chrono::steady_clock::time_point deadline);

}  // namespace qelvora
