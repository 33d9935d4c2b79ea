#include "service/CurlGlobal.h"

#include <curl/curl.h>

#include <stdexcept>
#include <string>

namespace pellum {

void curlGlobalInit() {
  // A function-local static is initialised exactly once even when threads race here; a failed
  // initialisation throws out of the initialiser, so the next call tries again.
  static const bool initialised = [] {
    CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK) {
      throw std::runtime_error(std::string("libcurl initialisation failed: ") +
                               curl_easy_strerror(code));
    }
    return true;
  }();
  (void)initialised;
}

} // namespace pellum
