// Capturing a descriptor's output in a memory file.
#include "capture.h"

#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

namespace sandbox {

OutputCapture::OutputCapture(int fd) : fd_(fd)
{
    std::fflush(nullptr);
    file_ = memfd_create("gwtest-capture", MFD_CLOEXEC);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

OutputCapture::~OutputCapture() { finish(); }

std::string OutputCapture::finish()
{
    if (saved_ < 0) {
        return finished_;
    }
    finished_ = text();
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
    saved_ = -1;
    file_ = -1;
    return finished_;
}

std::string OutputCapture::text()
{
    if (file_ < 0) {
        return finished_;
    }
    std::fflush(nullptr);
    std::string all;
    char buf[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t n = pread(file_, buf, sizeof buf, at);
        if (n <= 0) {
            break;
        }
        all.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return all;
}

} // namespace sandbox
