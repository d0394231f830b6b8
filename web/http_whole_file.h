// A plain HTTP/1.0 GET of a whole file, fresh from the server, on the calling thread. Reported to
// the request observer (web/request_log.h) like the page fetches.
#pragma once

#include <string_view>

#include "base/bytes.h"

namespace qelvora {

// The body of url (http or https); empty when nothing could be fetched. Connect and total time are
// bounded (30 s each), and so is the body (kMaxBodyBytes, beyond which the result is empty).
Bytes httpGetWholeFile(std::string_view url);

}  // namespace qelvora
