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
// Every call that reaches the file system is made without the interpreter
// lock (unlocked()), as io and os make theirs, so a slow file system stalls
// the calling thread alone. Left to the C library: the calls it emulates or
// speeds up (faccessat with flags, clock_gettime through the vDSO), and the
// calls that take a struct of the C library's (stat, fstat, futimens), each
// still made through a wrapper here.
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

// Runs `call` without the interpreter lock, as io and os do around every
// call that may block (a slow disk, NFS, a FUSE file system served by a
// thread of this very process): other threads run meanwhile. errno is the
// call's. Nothing shared may be touched inside: take what a call needs
// before, publish its result after.
template <class Call>
inline auto unlocked(Call call) noexcept {
    PyThreadState *thread = PyEval_SaveThread();
    const auto result = call();
    const int error = errno;
    PyEval_RestoreThread(thread);
    errno = error;
    return result;
}

// The bare calls, one system call each, made with the interpreter lock as
// the caller holds it. Only unlocked() and the wrappers below call them.
namespace bare {
#ifdef __linux__
inline int openat(int dirfd, const char *path, int flags, mode_t mode) noexcept {
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
#else
using ::access;
using ::close;
using ::fchmod;
using ::fchown;
using ::flock;
using ::fsync;
using ::linkat;
using ::openat;
using ::read;
using ::renameat;
using ::unlinkat;
using ::write;
#endif
}  // namespace bare

inline int open(const char *path, int flags, mode_t mode = 0) noexcept {
    return unlocked([&] { return bare::openat(AT_FDCWD, path, flags, mode); });
}
inline int openat(int dirfd, const char *path, int flags, mode_t mode = 0) noexcept {
    return unlocked([&] { return bare::openat(dirfd, path, flags, mode); });
}
inline ssize_t read(int fd, void *buffer, std::size_t size) noexcept {
    return unlocked([&] { return bare::read(fd, buffer, size); });
}
inline ssize_t write(int fd, const void *buffer, std::size_t size) noexcept {
    return unlocked([&] { return bare::write(fd, buffer, size); });
}
inline int close(int fd) noexcept {
    return unlocked([&] { return bare::close(fd); });
}
inline int access(const char *path, int mode) noexcept {
    return unlocked([&] { return bare::access(path, mode); });
}
inline int fsync(int fd) noexcept {
    return unlocked([&] { return bare::fsync(fd); });
}
inline int fchmod(int fd, mode_t mode) noexcept {
    return unlocked([&] { return bare::fchmod(fd, mode); });
}
inline int fchown(int fd, uid_t owner, gid_t group) noexcept {
    return unlocked([&] { return bare::fchown(fd, owner, group); });
}
inline int flock(int fd, int operation) noexcept {
    return unlocked([&] { return bare::flock(fd, operation); });
}
inline int linkat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, int flags) noexcept {
    return unlocked([&] { return bare::linkat(olddirfd, oldpath, newdirfd, newpath, flags); });
}
inline int unlinkat(int dirfd, const char *path, int flags) noexcept {
    return unlocked([&] { return bare::unlinkat(dirfd, path, flags); });
}
inline int renameat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath) noexcept {
    return unlocked([&] { return bare::renameat(olddirfd, oldpath, newdirfd, newpath); });
}
// Where the name is already taken, EEXIST. Linux only: elsewhere (and on a
// file system without it) EINVAL, ENOSYS or EOPNOTSUPP, and the caller links.
int rename_noreplace(int dirfd, const char *from, const char *to) noexcept;

// The calls that take a struct of the C library's are the C library's.
inline int stat(const char *path, struct stat &st) noexcept {
    return unlocked([&] { return ::stat(path, &st); });
}
inline int fstat(int fd, struct stat &st) noexcept {
    return unlocked([&] { return ::fstat(fd, &st); });
}
inline int fstatat(int dirfd, const char *path, struct stat &st, int flags) noexcept {
    return unlocked([&] { return ::fstatat(dirfd, path, &st, flags); });
}
inline int faccessat(int dirfd, const char *path, int mode, int flags) noexcept {
    return unlocked([&] { return ::faccessat(dirfd, path, mode, flags); });
}
inline int futimens(int fd, const timespec (&times)[2]) noexcept {
    return unlocked([&] { return ::futimens(fd, times); });
}

// Extended attributes (POSIX ACLs are some of them). Linux only; elsewhere
// ENOTSUP, as for a file system without them.
ssize_t list_attributes(const char *path, char *names, std::size_t size) noexcept;
ssize_t get_attribute(const char *path, const char *name, void *value, std::size_t size) noexcept;
ssize_t get_attribute(int fd, const char *name, void *value, std::size_t size) noexcept;
ssize_t list_attributes(int fd, char *names, std::size_t size) noexcept;
int set_attribute(int fd, const char *name, const void *value, std::size_t size) noexcept;
int remove_attribute(int fd, const char *name) noexcept;

inline pid_t getpid() noexcept {
#ifdef __linux__
    return static_cast<pid_t>(::syscall(SYS_getpid));
#else
    return ::getpid();
#endif
}
inline uid_t geteuid() noexcept {
#ifdef __linux__
    return static_cast<uid_t>(::syscall(SYS_geteuid));
#else
    return ::geteuid();
#endif
}
inline gid_t getegid() noexcept {
#ifdef __linux__
    return static_cast<gid_t>(::syscall(SYS_getegid));
#else
    return ::getegid();
#endif
}

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
    // retried after the signal handlers ran; each read without the
    // interpreter lock.
    void read_to_end(int fd);

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

// The names in the open directory `dirfd` that start with one of
// `prefixes`, in the order the system lists them (read through a descriptor
// of its own). False when it cannot be listed.
bool names_starting(int dirfd, const std::vector<std::string> &prefixes, std::vector<std::string> &names);

}  // namespace brevan::posix_io
