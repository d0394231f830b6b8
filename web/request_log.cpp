#include "web/request_log.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "base/hosts.h"

namespace qelvora {
namespace {

using Observer = std::function<void(const RequestRecord&)>;

std::atomic<bool> observerSet{false};
std::mutex observerMutex;
std::shared_ptr<const Observer> observer;

// "host:port" of a URL or a host setting ("host", "host:port", "[::1]:port"); port 80 when none.
std::string authority(std::string_view address) {
  if (const std::size_t scheme = address.find("://"); scheme != std::string_view::npos)
    address.remove_prefix(scheme + 3);
  address = address.substr(0, address.find_first_of("/?#"));
  const std::size_t colon = address.rfind(':');
  const std::size_t bracket = address.rfind(']');
  const bool hasPort =
      colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket);
  return std::string(address) + (hasPort ? "" : ":80");
}

}  // namespace

std::string nothingAnswersLine(std::string_view program, const RequestRecord& record) {
  if (!record.refused) return {};
  const std::string host = authority(record.url);
  const Hosts& h = hosts();
  for (const std::string* setting : {&h.time, &h.source1, &h.source2, &h.source3}) {
    if (authority(*setting) == host)
      return std::string(program) + ": nothing answers at " + host +
             "; start qelvora-sites (man qelvora-sites)";
  }
  return {};
}

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
