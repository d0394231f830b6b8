// Inside view of the process-wide cookie store (web/cookie_store.h) for the HTTP code in web/: the
// curl share handle that holds the cookies, explicit additions, and persisting after a response.
#pragma once

#include <curl/curl.h>

#include <string_view>

namespace qelvora {

// Initialises libcurl once and returns the share handle holding every cookie of the process,
// loaded from the cookie file on first use. Never freed: request threads may outlive any owner.
CURLSH* cookieShare();

// Attaches the store to a request handle: stored cookies are sent and received ones kept.
void useCookieStore(CURL* handle);

// Stores the cookie of one Set-Cookie value ("name=data; attributes") for host.
void storeCookie(std::string_view host, std::string_view setCookieValue);

// Rewrites the cookie file from the store (atomically, mode 0600).
void persistCookies();

}  // namespace qelvora
