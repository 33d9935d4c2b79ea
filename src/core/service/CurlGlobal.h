#pragma once

namespace pellum {

// Initialises libcurl for the whole process, once; later calls return at once. Safe to call
// from any thread. Throws std::runtime_error when libcurl cannot be initialised.
void curlGlobalInit();

} // namespace pellum
