#include "zet/core/fd.h"

#include <unistd.h>

namespace zet {

void fd_guard::reset(int fd) {
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

} // namespace zet
