// The io-like steps over the plain system calls: opening and reading a file
// as io's open() and FileIO.readall() do, and listing a directory. See
// posix_io.hpp.
#include "posix_io.hpp"

#include <cstdint>
#include <cstring>
#ifndef __linux__
#include <dirent.h>
#endif

namespace brevan::posix_io {

Fd open_like_io(const char *path, PyObject *filename, struct stat &st) {
    int fd, error;
    for (;;) {
        Py_BEGIN_ALLOW_THREADS
        fd = open(path, kReadFlags);
        error = errno;
        Py_END_ALLOW_THREADS
        errno = error;
        if (fd >= 0 || errno != EINTR) break;
        if (PyErr_CheckSignals() < 0) return Fd();
    }
    if (fd < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
        return Fd();
    }
    Fd file(fd);
    if (fstat(fd, &st) != 0) {
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

void ReadBuffer::read_to_end(int fd, bool may_wait) {
    for (;;) {
        if (filled_ == size_) grow();
        ssize_t n;
        if (may_wait) {
            int error;
            Py_BEGIN_ALLOW_THREADS
            n = read(fd, data_ + filled_, size_ - filled_);
            error = errno;
            Py_END_ALLOW_THREADS
            errno = error;
        } else {
            n = read(fd, data_ + filled_, size_ - filled_);
        }
        if (n < 0) {
            if (errno == EINTR) {
                check(PyErr_CheckSignals());
                continue;
            }
            PyErr_SetFromErrno(PyExc_OSError);
            throw_error();
        }
        if (n == 0) return;
        filled_ += static_cast<std::size_t>(n);
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

bool list_holding(int fd, char wanted, std::vector<std::string> &names) {
#ifdef __linux__
    alignas(8) char buffer[16384];
    for (;;) {
        const long size = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (size < 0 && errno == EINTR) continue;
        if (size <= 0) return size == 0;
        for (long at = 0; at < size;) {
            const auto *entry = reinterpret_cast<const LinuxDirent64 *>(buffer + at);
            const char *name = buffer + at + offsetof(LinuxDirent64, d_name);
            if (std::strchr(name, wanted) != nullptr) names.emplace_back(name);
            at += entry->d_reclen;
        }
    }
#else
    DIR *dir = fdopendir(dup(fd));
    if (dir == nullptr) return false;
    errno = 0;
    while (const dirent *entry = readdir(dir)) {
        if (std::strchr(entry->d_name, wanted) != nullptr) names.emplace_back(entry->d_name);
    }
    const bool listed = errno == 0;
    closedir(dir);
    return listed;
#endif
}

}  // namespace

bool names_holding(const char *path, char wanted, std::vector<std::string> &names) {
    Fd dir(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.valid() && list_holding(dir.get(), wanted, names);
}

}  // namespace brevan::posix_io
