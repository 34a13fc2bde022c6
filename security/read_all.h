#pragma once

#include <cstddef>
#include <cstdint>

#include "security/secret.h"

namespace vesk {

// Where a read_all stops.
enum class ReadEnd {
  kEmptyRead,  // at a read that returns nothing: pipes, sockets, files that grow
  kShortRead,  // also at a read that does not fill the room offered: enough for
               // a regular file, /proc and /sys, and one read fewer
};

// Appends what `fd` gives to `into` until its end, read straight into the
// Secret's storage (so no buffer of the caller's ever holds the bytes).
// Returns 0 at the end, the errno of a failed read (EINTR is retried), or
// EFBIG once more than `limit` bytes are held.
int read_all(int fd, Secret& into, ReadEnd end = ReadEnd::kEmptyRead, std::size_t limit = SIZE_MAX);

}  // namespace vesk
