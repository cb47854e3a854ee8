// The module's plain system calls: on Linux, made through syscall().
//
// Every C library function the module calls is one more symbol for the
// dynamic loader to look up when the module is loaded (all of them, at once:
// the library is bound immediately), about a quarter of a microsecond each.
// The functions below are thin wrappers of one system call each, so on Linux
// the module makes those calls itself, through syscall(), which it needs
// anyway. They behave as the C library's do: -1 with errno set on failure, no
// retry on EINTR. Declared in namespace brevan, they are what an unqualified
// call such as close(fd) in the module's code finds first. Elsewhere
// syscall() is no stable interface (deprecated on macOS, and the numbers are
// the system's own), so the same names are the C library's functions.
//
// Left to the C library: the calls it emulates or speeds up (faccessat with
// flags, clock_gettime through the vDSO), directory streams, stdio, and the
// calls that take a struct of the C library's (stat, futimens): argument-
// dependent lookup would find its declarations beside these.
#pragma once

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#else
#include <cstdio>  // renameat
#endif

namespace brevan {

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

}  // namespace brevan
