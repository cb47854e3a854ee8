// The module's plain system calls, the descriptor type that owns what they
// open, and the io-like steps built on them (open and read a file as io
// does, list a directory). Kept apart from the Python-level code, so that a
// reader sees in one place which calls reach the system and how.
//
// On Linux the calls are made through syscall(). Every C library function
// the module calls is one more symbol for the dynamic loader to look up when
// the module is loaded (all of them, at once: the library is bound
// immediately), about a quarter of a microsecond each. The wrappers below
// are thin wrappers of one system call each, so on Linux the module makes
// those calls itself, through syscall(), which it needs anyway. They behave
// as the C library's do: -1 with errno set on failure, no retry on EINTR.
// They live in namespace posix_io and are called by that name, never
// unqualified: a bare close(fd) is the C library's. Elsewhere syscall() is no
// stable interface (deprecated on macOS, and the numbers are the system's
// own), so the same names are the C library's functions.
//
// Left to the C library: the calls it emulates or speeds up (faccessat with
// flags, clock_gettime through the vDSO), directory streams, stdio, and the
// calls that take a struct of the C library's (stat, fstat, futimens).
#pragma once

#include "ref.hpp"

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>
#ifdef __linux__
#include <sys/syscall.h>
#else
#include <cstdio>  // renameat
#endif

namespace brevan::posix_io {

#ifdef __linux__
inline int open(const char *path, int flags, mode_t mode = 0) noexcept {
    return static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}
inline int openat(int dirfd, const char *path, int flags, mode_t mode = 0) noexcept {
    return static_cast<int>(::syscall(SYS_openat, dirfd, path, flags, mode));
}
inline ssize_t read(int fd, void *buffer, std::size_t size) noexcept {
    return ::syscall(SYS_read, fd, buffer, size);
}
inline ssize_t write(int fd, const void *buffer, std::size_t size) noexcept {
    return ::syscall(SYS_write, fd, buffer, size);
}
inline int close(int fd) noexcept { return static_cast<int>(::syscall(SYS_close, fd)); }
inline int access(const char *path, int mode) noexcept {
    return static_cast<int>(::syscall(SYS_faccessat, AT_FDCWD, path, mode));
}
inline int fsync(int fd) noexcept { return static_cast<int>(::syscall(SYS_fsync, fd)); }
inline int fchmod(int fd, mode_t mode) noexcept { return static_cast<int>(::syscall(SYS_fchmod, fd, mode)); }
inline int fchown(int fd, uid_t owner, gid_t group) noexcept {
    return static_cast<int>(::syscall(SYS_fchown, fd, owner, group));
}
inline int flock(int fd, int operation) noexcept {
    return static_cast<int>(::syscall(SYS_flock, fd, operation));
}
inline int linkat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, int flags) noexcept {
    return static_cast<int>(::syscall(SYS_linkat, olddirfd, oldpath, newdirfd, newpath, flags));
}
inline int unlinkat(int dirfd, const char *path, int flags) noexcept {
    return static_cast<int>(::syscall(SYS_unlinkat, dirfd, path, flags));
}
inline int renameat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath) noexcept {
#ifdef SYS_renameat
    return static_cast<int>(::syscall(SYS_renameat, olddirfd, oldpath, newdirfd, newpath));
#else  // aarch64 has renameat2 alone
    return static_cast<int>(::syscall(SYS_renameat2, olddirfd, oldpath, newdirfd, newpath, 0));
#endif
}
inline pid_t getpid() noexcept { return static_cast<pid_t>(::syscall(SYS_getpid)); }
inline uid_t geteuid() noexcept { return static_cast<uid_t>(::syscall(SYS_geteuid)); }
inline gid_t getegid() noexcept { return static_cast<gid_t>(::syscall(SYS_getegid)); }
#else
using ::access;
using ::close;
using ::fchmod;
using ::fchown;
using ::flock;
using ::fsync;
using ::getegid;
using ::geteuid;
using ::getpid;
using ::linkat;
using ::open;
using ::openat;
using ::read;
using ::renameat;
using ::unlinkat;
using ::write;
#endif

// An open descriptor, owned: closed when the object goes, unless released
// to a new owner (a directory stream, say). -1 is none.
class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes what it holds (its error ignored) and takes `fd`.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    // Closes now; false (errno set) when the system reports an error.
    bool close_now() noexcept { return close(release()) == 0; }

private:
    int fd_ = -1;
};

// open(path, "r") as io does it, after its audit event: the system call
// (without the interpreter lock, retried on EINTR), then the refusal of a
// directory with IsADirectoryError. `filename` names the file in an error.
// An invalid Fd with the error set when it fails; else `st` holds the
// descriptor's fstat(), which the read then goes by.
Fd open_like_io(const char *path, PyObject *filename, struct stat &st);

// The flags io's open() uses for "r".
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC;

// What io's FileIO.readall() reads a whole file into: a bytes object, first
// of the size it takes from the file's size, then grown as it grows it. So
// a size it cannot hold fails here as there, with the same error: "byte
// string is too large" (OverflowError) for one near 2**63, MemoryError for
// one the system will not give.
class ReadBuffer {
public:
    explicit ReadBuffer(off_t file_size);

    const char *data() const noexcept { return data_; }
    // The bytes read so far.
    std::size_t filled() const noexcept { return filled_; }

    // Reads `fd` to the end, as io does: up to the read that returns 0
    // (/proc, /sys and FUSE files read short long before their end), EINTR
    // retried after the signal handlers ran. `may_wait`: a FIFO or a device,
    // whose reads let the interpreter lock go; a regular file's read waits
    // on no one and keeps it.
    void read_to_end(int fd, bool may_wait);

private:
    void grow();
    void resize(std::size_t size);

    Ref bytes_;
    char *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t filled_ = 0;
};

// The names in the directory at `path` that hold `wanted` (dot names too),
// in the order the system lists them. False when the directory cannot be
// opened or listed, as os.scandir() then raises.
bool names_holding(const char *path, char wanted, std::vector<std::string> &names);

}  // namespace brevan::posix_io
