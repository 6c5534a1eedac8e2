// Move-only owners of C resources shared by both libraries (header only).
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <utility>

namespace fh {

// An open file descriptor, closed once.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Closes now and reports close(2)'s result (0 when nothing was open).
    int Close() { return fd_ < 0 ? 0 : ::close(std::exchange(fd_, -1)); }
    // For descriptors only read from, or on a path that already failed: the descriptor is
    // gone either way. Whoever wrote through it calls Close() and checks.
    void Reset() { (void)Close(); }

  private:
    int fd_ = -1;
};

// A stdio stream, closed once.
class UniqueFile {
  public:
    UniqueFile() = default;
    explicit UniqueFile(FILE* f) : f_(f) {}
    UniqueFile(UniqueFile&& other) noexcept : f_(std::exchange(other.f_, nullptr)) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other) {
            Reset();
            f_ = std::exchange(other.f_, nullptr);
        }
        return *this;
    }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    ~UniqueFile() { Reset(); }

    FILE* Get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    // Closes now and reports fclose(3)'s result (0 when nothing was open).
    int Close() { return f_ == nullptr ? 0 : ::fclose(std::exchange(f_, nullptr)); }
    // As UniqueFd::Reset: a written stream is closed with Close() and checked.
    void Reset() { (void)Close(); }

  private:
    FILE* f_ = nullptr;
};

// Opens `path` with open(2) `flags` as a stream of stdio `mode`. Files the library creates
// are its owner's only (0600); callers add O_NOFOLLOW wherever another user or a share could
// have planted a symbolic link at the path.
inline UniqueFile OpenStream(const char* path, int flags, const char* mode) {
    int fd = ::open(path, flags | O_CLOEXEC, 0600);
    if (fd < 0) {
        return UniqueFile();
    }
    FILE* f = ::fdopen(fd, mode);
    if (f == nullptr) {
        ::close(fd);
        if ((flags & (O_CREAT | O_TRUNC)) == (O_CREAT | O_TRUNC)) {
            // Made or emptied by the open, but not usable: no empty file stays behind.
            (void)::unlink(path);  // the open's failure is what the caller reports
        }
    }
    return UniqueFile(f);
}

// Flags of a file the library writes from the start: never through a symbolic link.
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;

// Zeroes a record that may hold credentials when the guard goes out of scope, unless the
// record was handed on (Dismiss).
template <typename T>
class WipeOnExit {
  public:
    explicit WipeOnExit(T* p) : p_(p) {}
    ~WipeOnExit() {
        if (p_ != nullptr) {
            explicit_bzero(p_, sizeof *p_);
        }
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    void Dismiss() { p_ = nullptr; }

  private:
    T* p_;
};

// A block from malloc, freed once (for records handed between threads as void*).
template <typename T>
class MallocPtr {
  public:
    MallocPtr() = default;
    explicit MallocPtr(T* p) : p_(p) {}
    MallocPtr(MallocPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    MallocPtr& operator=(MallocPtr&&) = delete;
    MallocPtr(const MallocPtr&) = delete;
    MallocPtr& operator=(const MallocPtr&) = delete;
    ~MallocPtr() { ::free(p_); }

    T* Get() const { return p_; }
    T* Release() { return std::exchange(p_, nullptr); }
    void Reset() { ::free(Release()); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T* p_ = nullptr;
};

}  // namespace fh
