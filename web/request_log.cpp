#include "web/request_log.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace qelvora {
namespace {

using Observer = std::function<void(const RequestRecord&)>;

std::atomic<bool> observerSet{false};
std::mutex observerMutex;
std::shared_ptr<const Observer> observer;

}  // namespace

void setRequestObserver(Observer function) {
  auto next = function ? std::make_shared<const Observer>(std::move(function)) : nullptr;
  std::lock_guard lock(observerMutex);
  observer = std::move(next);
  observerSet = observer != nullptr;
}

bool requestObserverSet() {
  return observerSet.load(std::memory_order_relaxed);
}

void reportRequest(const RequestRecord& record) {
  if (!requestObserverSet()) return;
  std::shared_ptr<const Observer> current;
  {
    std::lock_guard lock(observerMutex);
    current = observer;
  }
  // Called outside the lock: the observer may take its time or set a new observer.
  if (current) (*current)(record);
}

}  // namespace qelvora
