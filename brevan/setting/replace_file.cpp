// Replacing a file in one step: the steps (temporary file, write, flush,
// rename or link) and their clean-up; what they promise is in
// replace_file.hpp. Apart from save.cpp because the start-up backup uses them
// too.
#include "replace_file.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <utility>
#include <vector>

namespace brevan {

using posix_io::Fd;

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
    result = posix_io::fsync(fd);
    Py_END_ALLOW_THREADS
    return result;
}

#ifdef O_TMPFILE
// /proc/self/fd is how an anonymous file gets its name (linkat with
// AT_EMPTY_PATH needs a privilege that ordinary users lack). Asked each
// time: a process that gives up its privileges loses access to it.
bool can_link_anonymous() noexcept { return posix_io::access("/proc/self/fd", X_OK) == 0; }
#endif

// The directory takes no new file from us, where writing the target itself
// may still work.
bool refuses_new_files(int error) noexcept {
    return error == EACCES || error == EPERM || error == EROFS;
}

// Names get at most this much of the target's name, to stay below NAME_MAX.
constexpr std::size_t kStemLength = 200;

// ".<name>", as temporary names of a target called `name` begin.
std::string stem_of(const std::string &name) {
    std::string stem(1, '.');
    stem.append(name, 0, kStemLength);
    return stem;
}

// The access and modification times, in the order futimens() takes them
// (macOS calls the fields st_atimespec and st_mtimespec).
void file_times(const struct stat &st, timespec (&times)[2]) noexcept {
#ifdef __APPLE__
    times[0] = st.st_atimespec;
    times[1] = st.st_mtimespec;
#else
    times[0] = st.st_atim;
    times[1] = st.st_mtim;
#endif
}

bool same_file(const struct stat &a, const struct stat &b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The temporaries this process is writing. Cleaners skip them without
// touching them: where flock() is carried out as a per-process record lock
// (NFS), this process would get its own writer's lock, and closing any
// descriptor of the file would drop it.
std::vector<std::pair<dev_t, ino_t>> &live_temporaries() {
    static std::vector<std::pair<dev_t, ino_t>> files;
    return files;
}

bool written_here(const struct stat &st) noexcept {
    for (const auto &file : live_temporaries()) {
        if (file.first == st.st_dev && file.second == st.st_ino) return true;
    }
    return false;
}

// Removes the temporary `name` when no writer holds it: it is a regular file
// of ours, not written by this process, and its lock can be taken at once.
// The lock is taken on the very file that is unlinked (the name must still
// lead to it) and held until it is gone, so a writer never loses a file it
// holds, and one that locks after us finds its file gone and starts anew.
void remove_if_unheld(int dirfd, const char *name, uid_t us) noexcept {
    struct stat st{};
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISREG(st.st_mode) || st.st_uid != us || written_here(st)) return;
    // For writing where we may: an exclusive lock over NFS needs it.
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Fd fd(posix_io::openat(dirfd, name, O_WRONLY | kFlags));
    if (!fd.valid() && errno == EACCES) fd = Fd(posix_io::openat(dirfd, name, O_RDONLY | kFlags));
    if (!fd.valid()) return;
    struct stat held{}, now{};
    if (posix_io::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && fstat(fd.get(), &held) == 0 && same_file(held, st) &&
        fstatat(dirfd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(held, now)) {
        posix_io::unlinkat(dirfd, name, 0);
    }
}

// renameat2(RENAME_NOREPLACE) through syscall(): the C library's wrapper is
// newer than the oldest C library the module is built to load with. A Linux
// call: elsewhere a new file takes its name by a second link.
#if defined(__linux__) && defined(SYS_renameat2)
#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
int rename_noreplace(int dirfd, const char *from, const char *to) noexcept {
    return static_cast<int>(syscall(SYS_renameat2, dirfd, from, dirfd, to, RENAME_NOREPLACE));
}
#endif

// The whole content of the regular file at `path`, and its status.
std::string read_whole(const std::string &path, struct stat &st) {
    const Fd file(posix_io::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file.valid() || fstat(file.get(), &st) != 0) raise_os_error(path);
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        raise_os_error(path);
    }
    std::string content;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t got = posix_io::read(file.get(), chunk, sizeof chunk);
        if (got == 0) return content;
        if (got > 0) {
            content.append(chunk, static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            raise_os_error(path);
        }
    }
}

// Whether `rest` is "<pid>.<unique>.tmp" (decimal without a leading zero,
// then lower-case hex), as temporary names end.
bool has_writer_pid(const char *rest) noexcept {
    if (*rest < '1' || *rest > '9') return false;
    long pid = 0;
    for (; *rest >= '0' && *rest <= '9'; ++rest) {
        pid = pid * 10 + (*rest - '0');
        if (pid > INT_MAX) return false;
    }
    if (*rest++ != '.') return false;
    const char *unique = rest;
    while ((*rest >= '0' && *rest <= '9') || (*rest >= 'a' && *rest <= 'f')) ++rest;
    return rest != unique && std::strcmp(rest, ".tmp") == 0;
}

}  // namespace

ReplacementFile::ReplacementFile(std::string path) : path_(std::move(path)) {
    const std::size_t slash = path_.rfind('/');
    dir_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

ReplacementFile::~ReplacementFile() {
    if (!temporary_.empty()) posix_io::unlinkat(dirfd_.get(), temporary_.c_str(), 0);
    let_go();
    // The members close the file, then the directory.
}

bool ReplacementFile::open_directory() noexcept {
    dirfd_ = Fd(posix_io::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
#ifdef O_PATH
    // A directory we may write and search but not list still takes the new
    // file and the rename; only syncing and tidying it need reading.
    if (!dirfd_.valid() && errno == EACCES) {
        dirfd_ = Fd(posix_io::open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        listable_ = false;
    }
#endif
    return dirfd_.valid();
}

bool ReplacementFile::stat_target(struct stat &st) const noexcept {
    return fstatat(dirfd_.get(), name_.c_str(), &st, 0) == 0;
}

bool ReplacementFile::target_writable() const noexcept {
    return faccessat(dirfd_.get(), name_.c_str(), W_OK, AT_EACCESS) == 0;
}

std::string ReplacementFile::temporary_name() const {
    static unsigned counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char unique[64];
    std::snprintf(unique, sizeof unique, ".%ld.%lx%x.tmp", static_cast<long>(posix_io::getpid()),
                  static_cast<unsigned long>(now.tv_nsec), ++counter);
    return stem_of(name_) + unique;
}

// Takes the lock that tells cleaners this file is being written, and lists
// the file as this process's. False when a cleaner had a file named from the
// start (`named`) in the instant before the lock: that file is no longer
// ours. Where the file system has no locks, no cleaner can take one either.
bool ReplacementFile::hold(bool named) {
    struct stat mine{};
    if (fstat(fd_.get(), &mine) != 0) raise_os_error(dir_);
    if (posix_io::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
        struct stat there{};
        if (named && (fstatat(dirfd_.get(), temporary_.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
                      !same_file(mine, there))) {
            return false;
        }
    } else if (errno == EWOULDBLOCK) {
        return false;  // the cleaner holding it unlinks it
    }
    live_temporaries().emplace_back(mine.st_dev, mine.st_ino);
    held_ = true;
    return true;
}

// Takes the file off this process's list (before its descriptor closes).
void ReplacementFile::let_go() noexcept {
    if (!held_) return;
    struct stat mine{};
    auto &files = live_temporaries();
    if (fstat(fd_.get(), &mine) == 0) {
        for (auto it = files.begin(); it != files.end(); ++it) {
            if (it->first == mine.st_dev && it->second == mine.st_ino) {
                files.erase(it);
                break;
            }
        }
    }
    held_ = false;
}

bool ReplacementFile::create(const struct stat *like) {
#ifdef O_TMPFILE
    if (can_link_anonymous()) {
        fd_ = Fd(posix_io::openat(dirfd_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
        if (!fd_.valid()) {
            if (refuses_new_files(errno)) return false;
            if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) raise_os_error(dir_);
        } else {
            hold(false);  // held before it has a name
        }
    }
#endif
    for (int attempt = 0; !fd_.valid(); ++attempt) {
        std::string candidate = temporary_name();
        fd_ = Fd(posix_io::openat(dirfd_.get(), candidate.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666));
        if (!fd_.valid()) {
            if (refuses_new_files(errno)) return false;
            if (errno != EEXIST || attempt >= 100) raise_os_error(dir_ + "/" + candidate);
            continue;
        }
        temporary_ = std::move(candidate);
        if (hold(true)) break;
        // A cleaner took it for a stray in the instant before the lock.
        const std::string lost = std::move(temporary_);
        temporary_.clear();
        fd_.reset();
        if (attempt >= 100) {
            errno = EWOULDBLOCK;
            raise_os_error(dir_ + "/" + lost);
        }
    }
    if (like != nullptr) {
        if (like->st_uid != posix_io::geteuid() || like->st_gid != posix_io::getegid()) {
            if (posix_io::fchown(fd_.get(), like->st_uid, like->st_gid) != 0) {
                // Not allowed: the new file stays ours, like a copy would.
            }
        }
        if (posix_io::fchmod(fd_.get(), like->st_mode & 07777) != 0) raise_os_error(dir_);
    }
    return true;
}

void ReplacementFile::sync() {
    if (sync_fd(fd_.get()) != 0) raise_os_error(path_);
}

// Gives the anonymous file a temporary name, for the rename that follows.
void ReplacementFile::name_anonymous() {
    const std::string source = "/proc/self/fd/" + std::to_string(fd_.get());
    for (int attempt = 0;; ++attempt) {
        std::string candidate = temporary_name();
        if (posix_io::linkat(AT_FDCWD, source.c_str(), dirfd_.get(), candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temporary_ = std::move(candidate);
            return;
        }
        if (errno != EEXIST || attempt >= 100) raise_os_error(dir_ + "/" + candidate);
    }
}

// The named file takes the target's name only where nothing has it: a rename
// that never replaces where the file system has one, else a second link.
bool ReplacementFile::place_new_named() {
#if defined(__linux__) && defined(SYS_renameat2)
    if (rename_noreplace(dirfd_.get(), temporary_.c_str(), name_.c_str()) == 0) {
        temporary_.clear();
        return true;
    }
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) raise_os_error(path_);
#endif
    if (posix_io::linkat(dirfd_.get(), temporary_.c_str(), dirfd_.get(), name_.c_str(), 0) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EPERM && errno != EOPNOTSUPP) raise_os_error(path_);
    // Neither: a file system without links. Best effort, not exclusive.
    struct stat st{};
    if (stat_target(st)) return false;
    if (posix_io::renameat(dirfd_.get(), temporary_.c_str(), dirfd_.get(), name_.c_str()) != 0) raise_os_error(path_);
    temporary_.clear();
    return true;
}

ReplacementFile::Outcome ReplacementFile::commit(bool replace) {
    if (!replace) {
        if (!temporary_.empty()) return place_new_named() ? Outcome::placed : Outcome::kept;
        const std::string source = "/proc/self/fd/" + std::to_string(fd_.get());
        if (posix_io::linkat(AT_FDCWD, source.c_str(), dirfd_.get(), name_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return Outcome::placed;
        }
        if (errno == EEXIST) return Outcome::kept;
        raise_os_error(path_);
    }
    if (temporary_.empty()) name_anonymous();
    // At once: a process killed between naming and renaming leaves a stray.
    if (posix_io::renameat(dirfd_.get(), temporary_.c_str(), dirfd_.get(), name_.c_str()) == 0) {
        temporary_.clear();
        return Outcome::placed;
    }
    const int error = errno;
    if (error != EPERM && error != EACCES) raise_os_error(path_);
    posix_io::unlinkat(dirfd_.get(), temporary_.c_str(), 0);
    temporary_.clear();
    errno = error;
    return Outcome::refused;
}

void ReplacementFile::finish() noexcept {
    if (!temporary_.empty()) {  // a second link: the temporary name goes
        posix_io::unlinkat(dirfd_.get(), temporary_.c_str(), 0);
        temporary_.clear();
    }
    if (!listable_) return;
    sync_fd(dirfd_.get());
    try {
        remove_stale_temporaries();
    } catch (...) {
        // Out of memory: they stay until the next time.
    }
}

// Removes the temporaries of this target and of its backup ("<target>.bak")
// that no writer holds: ".<name>.<pid>.<unique>.tmp", regular, ours.
void ReplacementFile::remove_stale_temporaries() {
    const std::string prefixes[] = {stem_of(name_) + '.', stem_of(name_ + ".bak") + '.'};
    // A descriptor of its own for listing, which closedir() closes.
    Fd fd(posix_io::openat(dirfd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return;
    DIR *dir = fdopendir(fd.get());
    if (dir == nullptr) return;
    fd.release();  // the stream's now
    const uid_t us = posix_io::geteuid();
    while (const dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        for (const std::string &prefix : prefixes) {
            if (std::strncmp(name, prefix.c_str(), prefix.size()) == 0 &&
                has_writer_pid(name + prefix.size())) {
                remove_if_unheld(dirfd_.get(), name, us);
                break;
            }
        }
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
        const ssize_t wrote = posix_io::write(copy.fd(), content.data() + done, content.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) raise_os_error(copy.path());
        done += static_cast<std::size_t>(wrote);
    }
    timespec times[2];
    file_times(st, times);
    if (futimens(copy.fd(), times) != 0) {
        // Times are a courtesy; the content is what counts.
    }
    copy.sync();
    if (copy.commit(true) != ReplacementFile::Outcome::placed) raise_os_error(copy.path());
    copy.finish();
}

}  // namespace brevan
