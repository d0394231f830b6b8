// Owners of libcurl's easy handles and header lists, so that every way out of a function frees
// them.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace qelvora {

struct EasyHandleCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

using EasyHandle = std::unique_ptr<CURL, EasyHandleCleanup>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListCleanup>;

// Appends a copy of line to list; on failure the list stays as it was.
inline void appendHeader(HeaderList& list, const char* line) {
  if (curl_slist* grown = curl_slist_append(list.get(), line)) {
    static_cast<void>(list.release());
    list.reset(grown);
  }
}

}  // namespace qelvora
