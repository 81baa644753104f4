// Owners that close what the service opened on every path out of a scope.
#pragma once

#include <cstdio>
#include <dirent.h>
#include <unistd.h>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A stdio stream opened with fopen.
class UniqueFile {
public:
    explicit UniqueFile(FILE *f) : f_(f) {}
    UniqueFile(const UniqueFile &) = delete;
    UniqueFile &operator=(const UniqueFile &) = delete;
    ~UniqueFile() { reset(); }
    FILE *get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    void reset()
    {
        if (f_ != nullptr) {
            std::fclose(f_);
            f_ = nullptr;
        }
    }

private:
    FILE *f_;
};

// A stream opened with popen; closing it waits for the command.
class UniquePipe {
public:
    explicit UniquePipe(FILE *f) : f_(f) {}
    UniquePipe(const UniquePipe &) = delete;
    UniquePipe &operator=(const UniquePipe &) = delete;
    ~UniquePipe() { close(); }
    FILE *get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    // Returns the command's wait status, or -1 when nothing was open.
    int close()
    {
        int status = -1;
        if (f_ != nullptr) {
            status = ::pclose(f_);
            f_ = nullptr;
        }
        return status;
    }

private:
    FILE *f_;
};

class UniqueDir {
public:
    explicit UniqueDir(DIR *d) : d_(d) {}
    UniqueDir(const UniqueDir &) = delete;
    UniqueDir &operator=(const UniqueDir &) = delete;
    ~UniqueDir()
    {
        if (d_ != nullptr) {
            ::closedir(d_);
        }
    }
    DIR *get() const { return d_; }
    explicit operator bool() const { return d_ != nullptr; }

private:
    DIR *d_;
};
