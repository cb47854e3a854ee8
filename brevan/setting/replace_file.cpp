// Replacing a file in one step: see replace_file.hpp.
#include "replace_file.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace brevan {

void raise_os_error(const std::string &filename) {
    const int saved = errno;
    Ref name = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
        filename.data(), static_cast<Py_ssize_t>(filename.size())));
    errno = saved;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
    throw_error();
}

std::string system_path(PyObject *path) {
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(path, &bytes)) throw_error();
    Ref owned = Ref::steal(bytes);
    return std::string(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes)));
}

namespace {

// Calls fsync(fd) without holding the interpreter lock.
int sync_fd(int fd) noexcept {
    int result;
    Py_BEGIN_ALLOW_THREADS
    result = fsync(fd);
    Py_END_ALLOW_THREADS
    return result;
}

// /proc/self/fd is how an anonymous file gets its name (linkat with
// AT_EMPTY_PATH needs a privilege that ordinary users lack). Asked each
// time: a process that gives up its privileges loses access to it.
bool can_link_anonymous() noexcept { return access("/proc/self/fd", X_OK) == 0; }

// The directory takes no new file from us, where writing the target itself
// may still work.
bool refuses_new_files(int error) noexcept {
    return error == EACCES || error == EPERM || error == EROFS;
}

// Names get at most this much of the target's name, to stay below NAME_MAX.
constexpr std::size_t kStemLength = 200;

// The whole content of the regular file at `path`, and its status.
std::string read_whole(const std::string &path, struct stat &st) {
    struct Descriptor {
        int fd;
        ~Descriptor() {
            if (fd >= 0) close(fd);
        }
    };
    const Descriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (file.fd < 0 || fstat(file.fd, &st) != 0) raise_os_error(path);
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        raise_os_error(path);
    }
    std::string content;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t got = read(file.fd, chunk, sizeof chunk);
        if (got == 0) return content;
        if (got > 0) {
            content.append(chunk, static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            raise_os_error(path);
        }
    }
}

// The writer's pid in "<pid>.<unique>.tmp" (decimal, then lower-case hex),
// or 0 when `rest` is not exactly that.
pid_t writer_of(const char *rest) noexcept {
    if (*rest < '1' || *rest > '9') return 0;
    long pid = 0;
    for (; *rest >= '0' && *rest <= '9'; ++rest) {
        pid = pid * 10 + (*rest - '0');
        if (pid > INT_MAX) return 0;
    }
    if (*rest++ != '.') return 0;
    const char *unique = rest;
    while ((*rest >= '0' && *rest <= '9') || (*rest >= 'a' && *rest <= 'f')) ++rest;
    if (rest == unique || std::strcmp(rest, ".tmp") != 0) return 0;
    return static_cast<pid_t>(pid);
}

}  // namespace

ReplacementFile::ReplacementFile(std::string path) : path_(std::move(path)) {
    const std::size_t slash = path_.rfind('/');
    dir_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

ReplacementFile::~ReplacementFile() {
    if (!temporary_.empty()) unlinkat(dirfd_, temporary_.c_str(), 0);
    if (fd_ >= 0) close(fd_);
    if (dirfd_ >= 0) close(dirfd_);
}

bool ReplacementFile::open_directory() noexcept {
    dirfd_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
    // A directory we may write and search but not list still takes the new
    // file and the rename; only syncing and tidying it need reading.
    if (dirfd_ < 0 && errno == EACCES) {
        dirfd_ = open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        listable_ = false;
    }
#endif
    return dirfd_ >= 0;
}

bool ReplacementFile::stat_target(struct stat &st) const noexcept {
    return fstatat(dirfd_, name_.c_str(), &st, 0) == 0;
}

bool ReplacementFile::target_writable() const noexcept {
    return faccessat(dirfd_, name_.c_str(), W_OK, AT_EACCESS) == 0;
}

std::string ReplacementFile::temporary_name() const {
    static unsigned counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char unique[64];
    std::snprintf(unique, sizeof unique, ".%ld.%lx%x.tmp", static_cast<long>(getpid()),
                  static_cast<unsigned long>(now.tv_nsec), ++counter);
    return stem() + unique;
}

// ".<target>", as temporary names begin.
std::string ReplacementFile::stem() const {
    std::string stem(1, '.');
    stem.append(name_, 0, kStemLength);
    return stem;
}

bool ReplacementFile::create(const struct stat *like) {
#ifdef O_TMPFILE
    if (can_link_anonymous()) {
        fd_ = openat(dirfd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            if (refuses_new_files(errno)) return false;
            if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) raise_os_error(dir_);
        }
    }
#endif
    for (int attempt = 0; fd_ < 0; ++attempt) {
        std::string candidate = temporary_name();
        fd_ = openat(dirfd_, candidate.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            temporary_ = std::move(candidate);
        } else if (refuses_new_files(errno)) {
            return false;
        } else if (errno != EEXIST || attempt >= 100) {
            raise_os_error(dir_ + "/" + candidate);
        }
    }
    if (like != nullptr) {
        if (like->st_uid != geteuid() || like->st_gid != getegid()) {
            if (fchown(fd_, like->st_uid, like->st_gid) != 0) {
                // Not allowed: the new file stays ours, like a copy would.
            }
        }
        if (fchmod(fd_, like->st_mode & 07777) != 0) raise_os_error(dir_);
    }
    return true;
}

void ReplacementFile::sync() {
    if (sync_fd(fd_) != 0) raise_os_error(path_);
}

// Gives the anonymous file a temporary name, for the rename that follows.
void ReplacementFile::name_anonymous() {
    const std::string source = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 0;; ++attempt) {
        std::string candidate = temporary_name();
        if (linkat(AT_FDCWD, source.c_str(), dirfd_, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temporary_ = std::move(candidate);
            return;
        }
        if (errno != EEXIST || attempt >= 100) raise_os_error(dir_ + "/" + candidate);
    }
}

// The named file takes the target's name only where nothing has it: a rename
// that never replaces where the file system has one, else a second link.
bool ReplacementFile::place_new_named() {
#ifdef RENAME_NOREPLACE
    if (renameat2(dirfd_, temporary_.c_str(), dirfd_, name_.c_str(), RENAME_NOREPLACE) == 0) {
        temporary_.clear();
        return true;
    }
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) raise_os_error(path_);
#endif
    if (linkat(dirfd_, temporary_.c_str(), dirfd_, name_.c_str(), 0) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EPERM && errno != EOPNOTSUPP) raise_os_error(path_);
    // Neither: a file system without links. Best effort, not exclusive.
    struct stat st{};
    if (stat_target(st)) return false;
    if (renameat(dirfd_, temporary_.c_str(), dirfd_, name_.c_str()) != 0) raise_os_error(path_);
    temporary_.clear();
    return true;
}

ReplacementFile::Outcome ReplacementFile::commit(bool replace) {
    if (!replace) {
        if (!temporary_.empty()) return place_new_named() ? Outcome::placed : Outcome::kept;
        const std::string source = "/proc/self/fd/" + std::to_string(fd_);
        if (linkat(AT_FDCWD, source.c_str(), dirfd_, name_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return Outcome::placed;
        }
        if (errno == EEXIST) return Outcome::kept;
        raise_os_error(path_);
    }
    if (temporary_.empty()) name_anonymous();
    // At once: a process killed between naming and renaming leaves a stray.
    if (renameat(dirfd_, temporary_.c_str(), dirfd_, name_.c_str()) == 0) {
        temporary_.clear();
        return Outcome::placed;
    }
    const int error = errno;
    if (error != EPERM && error != EACCES) raise_os_error(path_);
    unlinkat(dirfd_, temporary_.c_str(), 0);
    temporary_.clear();
    errno = error;
    return Outcome::refused;
}

void ReplacementFile::finish() noexcept {
    if (!temporary_.empty()) {  // a second link: the temporary name goes
        unlinkat(dirfd_, temporary_.c_str(), 0);
        temporary_.clear();
    }
    if (!listable_) return;
    sync_fd(dirfd_);
    try {
        remove_stale_temporaries();
    } catch (...) {
        // Out of memory: they stay until the next time.
    }
}

// Removes ".<target>.<pid>.<unique>.tmp" files of this directory that are
// regular, ours, and whose writer is gone (kill() says there is no such
// process). A file of a live writer, or of one we cannot tell about, stays.
void ReplacementFile::remove_stale_temporaries() {
    const std::string prefix = stem() + '.';
    const int fd = fcntl(dirfd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return;
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    rewinddir(dir);
    const uid_t us = geteuid();
    while (const dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) continue;
        const pid_t writer = writer_of(name + prefix.size());
        if (writer == 0) continue;
        struct stat st{};
        if (fstatat(dirfd_, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode) || st.st_uid != us) continue;
        if (kill(writer, 0) == 0 || errno != ESRCH) continue;
        unlinkat(dirfd_, name, 0);
    }
    closedir(dir);
}

// ------------------------------------------------------------ copying ----

void copy_replacing(PyObject *source, PyObject *destination) {
    struct stat st{};
    const std::string content = read_whole(system_path(source), st);

    ReplacementFile copy(system_path(destination));
    if (!copy.open_directory() || !copy.create(&st)) raise_os_error(copy.path());
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t wrote = write(copy.fd(), content.data() + done, content.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) raise_os_error(copy.path());
        done += static_cast<std::size_t>(wrote);
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(copy.fd(), times) != 0) {
        // Times are a courtesy; the content is what counts.
    }
    copy.sync();
    if (copy.commit(true) != ReplacementFile::Outcome::placed) raise_os_error(copy.path());
    copy.finish();
}

}  // namespace brevan
