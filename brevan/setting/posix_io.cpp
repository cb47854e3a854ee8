// The io-like steps over the plain system calls: opening and reading a file
// as io's open() and FileIO.readall() do, and listing a directory. See
// posix_io.hpp.
#include "posix_io.hpp"

#include <cstdint>
#include <exception>
#include <cstring>
#ifndef __linux__
#include <dirent.h>
#endif

namespace brevan::posix_io {

Fd open_like_io(const char *path, PyObject *filename, struct stat &st) {
    int fd;
    bool known = false;
    for (;;) {
        // The open and its fstat() in one stretch without the lock.
        fd = unlocked([&] {
            const int opened = bare::openat(AT_FDCWD, path, kReadFlags, 0);
            if (opened >= 0) known = ::fstat(opened, &st) == 0;
            return opened;
        });
        if (fd >= 0 || errno != EINTR) break;
        if (PyErr_CheckSignals() < 0) return Fd();
    }
    if (fd < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
        return Fd();
    }
    Fd file(fd);
    if (!known) {
        PyErr_SetFromErrno(PyExc_OSError);
    } else if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_IsADirectoryError, filename);
    } else {
        return file;
    }
    return Fd();  // `file` closes
}

// ---------------------------------------------------------------- reading ----

namespace {

constexpr std::size_t kSmallChunk = 8192;  // io's SMALLCHUNK

// Up to 3.13 a size up to PY_SSIZE_T_MAX - 1 is taken with one more byte
// (for the read that finds the end), anything else starts small; from 3.14,
// any size is taken, capped at PY_SSIZE_T_MAX. The file was just opened, so
// the position is 0. A file whose size stat() does not tell (/proc, /sys)
// starts small.
std::size_t first_size(off_t file_size) noexcept {
    if (file_size <= 0) return kSmallChunk;
    if (file_size < PY_SSIZE_T_MAX) return static_cast<std::size_t>(file_size) + 1;
    return Py_Version < 0x030E0000 ? kSmallChunk : static_cast<std::size_t>(PY_SSIZE_T_MAX);
}

}  // namespace

ReadBuffer::ReadBuffer(off_t file_size) { resize(first_size(file_size)); }

// Room for more: io's next size (an eighth more past 64 KiB, else twice as
// much and 256 bytes, never less than SMALLCHUNK more).
void ReadBuffer::grow() {
    const std::size_t addend = filled_ > 65536 ? filled_ >> 3 : filled_ + 256;
    resize(filled_ + (addend < kSmallChunk ? kSmallChunk : addend));
}

void ReadBuffer::resize(std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "unbounded read returned more bytes than a Python bytes object can hold");
        throw_error();
    }
    Ref bytes = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    char *data = PyBytes_AsString(bytes.get());
    if (data_ != nullptr) std::memcpy(data, data_, size_);
    bytes_ = std::move(bytes);
    data_ = data;
    size_ = size;
}

void ReadBuffer::read_to_end(int fd) {
    for (;;) {
        if (filled_ == size_) grow();
        // Reads while there is room, in one stretch without the lock: a
        // file read whole in its first read() is then let go once, for that
        // read and the one that finds the end.
        const ssize_t n = unlocked([&] {
            ssize_t got;
            do {
                got = bare::read(fd, data_ + filled_, size_ - filled_);
                if (got > 0) filled_ += static_cast<std::size_t>(got);
            } while (got > 0 && filled_ < size_);
            return got;
        });
        if (n < 0) {
            if (errno == EINTR) {
                check(PyErr_CheckSignals());
                continue;
            }
            PyErr_SetFromErrno(PyExc_OSError);
            throw_error();
        }
        if (n == 0) return;
    }
}

// ---------------------------------------------------------------- listing ----

namespace {

#ifdef __linux__
// The kernel's record of one directory entry, as getdents64 writes it. The
// call goes through syscall(): the C library's wrapper is younger than the
// oldest one the module supports.
struct LinuxDirent64 {
    std::uint64_t d_ino;
    std::int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];  // NUL-terminated, d_reclen covers it
};
#endif

// Lists the directory open as `fd`, handing each name to `keep`, which
// says whether it goes into `names`; false when it cannot be listed.
template <class Keep>
bool list_open(int fd, Keep keep, std::vector<std::string> &names) {
#ifdef __linux__
    alignas(8) char buffer[16384];
    for (;;) {
        const long size = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (size < 0 && errno == EINTR) continue;
        if (size <= 0) return size == 0;
        for (long at = 0; at < size;) {
            const auto *entry = reinterpret_cast<const LinuxDirent64 *>(buffer + at);
            const char *name = buffer + at + offsetof(LinuxDirent64, d_name);
            if (keep(name)) names.emplace_back(name);
            at += entry->d_reclen;
        }
    }
#else
    const int own = dup(fd);
    DIR *dir = own < 0 ? nullptr : fdopendir(own);
    if (dir == nullptr) {
        if (own >= 0) bare::close(own);
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir);
        if (entry == nullptr) break;
        if (keep(entry->d_name)) names.emplace_back(entry->d_name);
    }
    const bool listed = errno == 0;
    closedir(dir);
    return listed;
#endif
}

// Opens the directory `path` (relative to `dirfd`), lists it as list_open()
// does and closes it, all in one stretch without the interpreter lock:
// `keep` must not touch Python objects. A name the vector cannot take (out
// of memory) ends the listing, and is thrown once the lock is back.
template <class Keep>
bool list_where(int dirfd, const char *path, Keep keep, std::vector<std::string> &names) {
    std::exception_ptr failure;
    const bool listed = unlocked([&] {
        const int fd = bare::openat(dirfd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (fd < 0) return false;
        bool done = false;
        try {
            done = list_open(fd, keep, names);
        } catch (...) {
            failure = std::current_exception();
        }
        bare::close(fd);
        return done;
    });
    if (failure) std::rethrow_exception(failure);
    return listed;
}

}  // namespace

bool names_holding(const char *path, char wanted, std::vector<std::string> &names) {
    return list_where(AT_FDCWD, path, [wanted](const char *name) { return std::strchr(name, wanted) != nullptr; },
                      names);
}

bool names_starting(int dirfd, const std::vector<std::string> &prefixes, std::vector<std::string> &names) {
    // A descriptor of its own: listing moves a descriptor's offset.
    return list_where(dirfd, ".", [&](const char *name) {
        for (const std::string &prefix : prefixes) {
            if (std::strncmp(name, prefix.c_str(), prefix.size()) == 0) return true;
        }
        return false;
    }, names);
}

// ------------------------------------------------ renaming, attributes ----

// renameat2(RENAME_NOREPLACE) through syscall(): the C library's wrapper is
// newer than the oldest C library the module is built to load with.
int rename_noreplace(int dirfd, const char *from, const char *to) noexcept {
#if defined(__linux__) && defined(SYS_renameat2)
    constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE
    return unlocked([&] {
        return static_cast<int>(syscall(SYS_renameat2, dirfd, from, dirfd, to, kNoReplace));
    });
#else
    (void)dirfd, (void)from, (void)to;
    errno = ENOSYS;
    return -1;
#endif
}

#ifdef __linux__
ssize_t list_attributes(const char *path, char *names, std::size_t size) noexcept {
    return unlocked([&] { return syscall(SYS_listxattr, path, names, size); });
}
ssize_t list_attributes(int fd, char *names, std::size_t size) noexcept {
    return unlocked([&] { return syscall(SYS_flistxattr, fd, names, size); });
}
ssize_t get_attribute(const char *path, const char *name, void *value, std::size_t size) noexcept {
    return unlocked([&] { return syscall(SYS_getxattr, path, name, value, size); });
}
ssize_t get_attribute(int fd, const char *name, void *value, std::size_t size) noexcept {
    return unlocked([&] { return syscall(SYS_fgetxattr, fd, name, value, size); });
}
int set_attribute(int fd, const char *name, const void *value, std::size_t size) noexcept {
    return unlocked([&] { return static_cast<int>(syscall(SYS_fsetxattr, fd, name, value, size, 0)); });
}
int remove_attribute(int fd, const char *name) noexcept {
    return unlocked([&] { return static_cast<int>(syscall(SYS_fremovexattr, fd, name)); });
}
#else
// Extended attributes have another interface on each other system (and ACLs
// one of their own); source builds there keep the permission bits alone.
ssize_t list_attributes(const char *, char *, std::size_t) noexcept { return errno = ENOTSUP, -1; }
ssize_t list_attributes(int, char *, std::size_t) noexcept { return errno = ENOTSUP, -1; }
ssize_t get_attribute(const char *, const char *, void *, std::size_t) noexcept { return errno = ENOTSUP, -1; }
ssize_t get_attribute(int, const char *, void *, std::size_t) noexcept { return errno = ENOTSUP, -1; }
int set_attribute(int, const char *, const void *, std::size_t) noexcept { return errno = ENOTSUP, -1; }
int remove_attribute(int, const char *) noexcept { return errno = ENOTSUP, -1; }
#endif

}  // namespace brevan::posix_io
