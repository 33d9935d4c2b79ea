#pragma once

#include <cstddef>

namespace pellum::test {

// Whether this process still has a child (running, or a zombie: a zombie is reaped by the
// check, so it is reported once).
bool hasChildProcesses();
// Threads of this process right now.
std::size_t threadCount();
// Open file descriptors of this process right now.
std::size_t openDescriptorCount();

} // namespace pellum::test
