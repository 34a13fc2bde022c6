#include "security/read_all.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vesk {

int read_all(int fd, Secret& into, ReadEnd end, std::size_t limit) {
  constexpr std::size_t kFirstRoom = 4096;
  for (;;) {
    if (into.size() == into.capacity()) into.reserve(std::max(kFirstRoom, 2 * into.capacity()));
    const std::size_t held = into.size();
    const std::size_t room = into.capacity() - held;
    into.resize(into.capacity());
    const ssize_t count = read(fd, into.data() + held, room);
    into.resize(held + static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return errno;
    if (into.size() > limit) return EFBIG;
    if (count == 0 || (end == ReadEnd::kShortRead && static_cast<std::size_t>(count) < room)) {
      return 0;
    }
  }
}

}  // namespace vesk
