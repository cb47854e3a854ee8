// Replacing a file in one step: the steps (temporary file, write, flush,
// rename or link) and their clean-up; what they promise is in
// replace_file.hpp. Apart from save.cpp because the start-up backup uses them
// too.
#include "replace_file.hpp"

#include "guards.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <tuple>
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
StdAttr os_realpath("os.path", "realpath");
}  // namespace

std::string real_path(PyObject *path) { return system_path(call(os_realpath.get(), path).get()); }


namespace {

// ------------------------------------------------------------ events ----

StaticString s_event_open("open"), s_event_link("os.link"), s_event_rename("os.rename"),
    s_event_remove("os.remove"), s_event_chmod("os.chmod"), s_event_chown("os.chown"),
    s_event_utime("os.utime"), s_event_setxattr("os.setxattr"), s_event_removexattr("os.removexattr");

// A path as os's events show a str path: decoded as os.fsdecode() does.
Ref shown_text(const std::string &path) {
    return check(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}
Ref number(long long value) { return check(PyLong_FromLongLong(value)); }

// The flags of a named file made here, as "open" shows them.
constexpr int kCreateFlags = O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC;

// os.open(path, flags), os.link(src, dst), os.rename(src, dst),
// os.remove(path): the events those raise, with no directory descriptors.
void announce_open(const std::string &path, PyObject *mode, int flags) {
    announce(s_event_open, shown_text(path), mode, number(flags));
}
void announce_pair(StaticString &event, const std::string &from, const std::string &to) {
    Ref none = number(-1);
    announce(event, shown_text(from), shown_text(to), none, none);
}
void announce_remove(const std::string &path) { announce(s_event_remove, shown_text(path), number(-1)); }

// ------------------------------------------------------------ helpers ----

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
// descriptor of the file would drop it. Touched only with the interpreter
// lock held.
std::vector<std::pair<dev_t, ino_t>> &live_temporaries() {
    static std::vector<std::pair<dev_t, ino_t>> files;
    return files;
}

void list_live(const struct stat &st) { live_temporaries().emplace_back(st.st_dev, st.st_ino); }

void unlist_live(int fd) noexcept {
    struct stat mine{};
    auto &files = live_temporaries();
    if (posix_io::fstat(fd, mine) != 0) return;
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (it->first == mine.st_dev && it->second == mine.st_ino) {
            files.erase(it);
            return;
        }
    }
}

// A temporary name for a file beside `name`: ".<name>.<pid>.<unique>.tmp".
std::string temporary_name(const std::string &name) {
    static unsigned counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char unique[64];
    std::snprintf(unique, sizeof unique, ".%ld.%lx%x.tmp", static_cast<long>(posix_io::getpid()),
                  static_cast<unsigned long>(now.tv_nsec), ++counter);
    return stem_of(name) + unique;
}

// `dir` and `name` joined, as events name a file.
std::string joined(const std::string &dir, const std::string &name) {
    if (dir == ".") return name;
    return dir == "/" ? dir + name : dir + '/' + name;
}

// The directory and the name of `path`: everything before the last '/' (the
// working directory when there is none), and what follows it.
std::pair<std::string, std::string> split_path(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool written_here(const struct stat &st) noexcept {
    for (const auto &file : live_temporaries()) {
        if (file.first == st.st_dev && file.second == st.st_ino) return true;
    }
    return false;
}

// Whether `name` is a temporary a cleaner may look at: a regular file of
// ours, not written by this process.
bool may_be_stale(int dirfd, const char *name, uid_t us) noexcept {
    struct stat st{};
    return posix_io::fstatat(dirfd, name, st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_uid == us && !written_here(st);
}

// Removes the temporary `name` when no writer holds it. The lock is taken
// on the very file that is unlinked (the name must still lead to it, a
// regular file of ours) and held until it is gone, so a writer never loses
// a file it holds, and one that locks after us finds its file gone and
// starts anew.
void remove_if_unheld(int dirfd, const char *name, uid_t us) noexcept {
    struct stat st{};
    if (posix_io::fstatat(dirfd, name, st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISREG(st.st_mode) || st.st_uid != us || written_here(st)) return;
    // For writing where we may: an exclusive lock over NFS needs it.
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Fd fd(posix_io::openat(dirfd, name, O_WRONLY | kFlags));
    if (!fd.valid() && errno == EACCES) fd = Fd(posix_io::openat(dirfd, name, O_RDONLY | kFlags));
    if (!fd.valid()) return;
    struct stat held{}, now{};
    if (posix_io::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && posix_io::fstat(fd.get(), held) == 0 &&
        same_file(held, st) && posix_io::fstatat(dirfd, name, now, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(held, now)) {
        posix_io::unlinkat(dirfd, name, 0);
    }
}

// The whole content of the regular file at `path`, and its status.
std::string read_whole(const std::string &path, struct stat &st) {
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    Ref read_mode = check(PyUnicode_FromString("rb"));
    announce_open(path, read_mode.get(), kFlags);
    const Fd file(posix_io::open(path.c_str(), kFlags));
    if (!file.valid() || posix_io::fstat(file.get(), st) != 0) raise_os_error(path);
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

// ------------------------------------------------ extended attributes ----

constexpr char kAccessAcl[] = "system.posix_acl_access";

// The NUL-separated names of the extended attributes `list` reports; false
// when they cannot be read. A file system without them has none.
template <class List>
bool attribute_names(List list, std::string &names) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t size = list(nullptr, 0);
        if (size < 0) return errno == ENOTSUP || errno == ENOSYS;
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = size == 0 ? 0 : list(names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;  // grew meanwhile: ask again
    }
    return false;
}

// One attribute's value through `get`; false, errno set, when it cannot be
// read (ENODATA: there is none).
template <class Get>
bool attribute_value(Get get, std::string &value) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t size = get(nullptr, 0);
        if (size < 0) return false;
        value.resize(static_cast<std::size_t>(size));
        const ssize_t got = size == 0 ? 0 : get(value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;
    }
    return false;
}

}  // namespace

// --------------------------------------------------------- the steps ----

ReplacementFile::ReplacementFile(std::string path) : path_(std::move(path)) {
    std::tie(dir_, name_) = split_path(path_);
}

ReplacementFile::~ReplacementFile() {
    // Our own file, made since the target's open was announced: undone.
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
    return posix_io::fstatat(dirfd_.get(), name_.c_str(), st, 0) == 0;
}

bool ReplacementFile::target_writable() const noexcept {
    return posix_io::faccessat(dirfd_.get(), name_.c_str(), W_OK, AT_EACCESS) == 0;
}

std::string ReplacementFile::temporary_name() const { return brevan::temporary_name(name_); }

std::string ReplacementFile::in_directory(const std::string &name) const { return joined(dir_, name); }

// The path an event about the new file names: its temporary name, or, while
// it is anonymous, the name it is made to take.
std::string ReplacementFile::shown() const { return temporary_.empty() ? path_ : in_directory(temporary_); }

// Takes the lock that tells cleaners this file is being written, and lists
// the file as this process's. False when a cleaner had a file named from the
// start (`named`) in the instant before the lock: that file is no longer
// ours. Where the file system has no locks, no cleaner can take one either.
bool ReplacementFile::hold(bool named) {
    struct stat mine{};
    if (posix_io::fstat(fd_.get(), mine) != 0) raise_os_error(dir_);
    if (posix_io::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
        struct stat there{};
        if (named && (posix_io::fstatat(dirfd_.get(), temporary_.c_str(), there, AT_SYMLINK_NOFOLLOW) != 0 ||
                      !same_file(mine, there))) {
            return false;
        }
    } else if (errno == EWOULDBLOCK) {
        return false;  // the cleaner holding it unlinks it
    }
    list_live(mine);
    held_ = true;
    return true;
}

// Takes the file off this process's list (before its descriptor closes).
void ReplacementFile::let_go() noexcept {
    if (!held_) return;
    unlist_live(fd_.get());
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
    // Named: open to its owner alone, and to nobody the target shuts out.
    const mode_t mode = like != nullptr ? (like->st_mode & 0600) : 0600;
    for (int attempt = 0; !fd_.valid(); ++attempt) {
        std::string candidate = temporary_name();
        announce_open(in_directory(candidate), Py_None, kCreateFlags);
        fd_ = Fd(posix_io::openat(dirfd_.get(), candidate.c_str(), kCreateFlags, mode));
        if (!fd_.valid()) {
            if (refuses_new_files(errno)) return false;
            if (errno != EEXIST || attempt >= 100) raise_os_error(in_directory(candidate));
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
            raise_os_error(in_directory(lost));
        }
    }
    return true;
}

void ReplacementFile::sync() {
    if (posix_io::fsync(fd_.get()) != 0) raise_os_error(path_);
}

// The permission bits a plain open() gives a new file here: 0o666 less the
// umask, or what the directory's default ACL leaves. Read off an empty file
// made for the purpose and removed at once: the umask cannot be read
// without setting it for every thread of the process.
mode_t ReplacementFile::new_file_mode() {
    for (int attempt = 0;; ++attempt) {
        const std::string probe = temporary_name();
        announce_open(in_directory(probe), Py_None, kCreateFlags);
        const Fd fd(posix_io::openat(dirfd_.get(), probe.c_str(), kCreateFlags, 0666));
        if (!fd.valid()) {
            if (errno != EEXIST || attempt >= 100) raise_os_error(in_directory(probe));
            continue;
        }
        struct stat st{};
        const bool known = posix_io::fstat(fd.get(), st) == 0;
        const int error = errno;
        try {
            announce_remove(in_directory(probe));
        } catch (const PyError &) {
            posix_io::unlinkat(dirfd_.get(), probe.c_str(), 0);  // ours, and empty: undone all the same
            throw;
        }
        posix_io::unlinkat(dirfd_.get(), probe.c_str(), 0);
        errno = error;
        if (!known) raise_os_error(in_directory(probe));
        return st.st_mode & 07777;
    }
}

// Gives the new file every extended attribute of the file at `target` (its
// access ACL among them), and drops an access ACL the directory's default
// gave it where that file has none. False when one cannot be given, or read, and
// the new file does not hold it already.
bool ReplacementFile::copy_attributes(const char *target) {
    std::string names;
    const int fd = fd_.get();
    if (!attribute_names([&](char *out, std::size_t size) { return posix_io::list_attributes(target, out, size); },
                         names)) {
        return false;
    }
    bool target_has_acl = false;
    std::string value, present;
    for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
        const char *name = names.c_str() + at;
        if (*name == '\0') break;
        if (std::strcmp(name, kAccessAcl) == 0) target_has_acl = true;
        if (!attribute_value([&](void *out, std::size_t size) {
                return posix_io::get_attribute(target, name, out, size);
            }, value)) {
            if (errno == ENODATA) continue;  // gone meanwhile
            return false;
        }
        if (attribute_value([&](void *out, std::size_t size) { return posix_io::get_attribute(fd, name, out, size); },
                            present) && present == value) {
            continue;  // a label the system gave it already, say
        }
        Ref shown_name = check(PyUnicode_DecodeFSDefault(name));
        Ref bytes = check(PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
        announce(s_event_setxattr, shown_text(shown()), shown_name, bytes, number(0));
        if (posix_io::set_attribute(fd, name, value.data(), value.size()) != 0) return false;
    }
    if (!target_has_acl && posix_io::get_attribute(fd, kAccessAcl, nullptr, 0) >= 0) {
        Ref shown_name = check(PyUnicode_FromString(kAccessAcl));
        announce(s_event_removexattr, shown_text(shown()), shown_name);
        if (posix_io::remove_attribute(fd, kAccessAcl) != 0) return false;
    }
    return true;
}

bool ReplacementFile::settle(const struct stat *like, const char *attributes_of) {
    if (like == nullptr) {
        if (temporary_.empty()) return true;  // anonymous: made with open()'s bits
        const mode_t mode = new_file_mode();
        announce(s_event_chmod, shown_text(shown()), number(mode), number(-1));
        if (posix_io::fchmod(fd_.get(), mode) != 0) raise_os_error(shown());
        return true;
    }
    // Owner first: a change of owner clears the set-user-ID bits.
    if (like->st_uid != posix_io::geteuid() || like->st_gid != posix_io::getegid()) {
        announce(s_event_chown, shown_text(shown()), number(like->st_uid), number(like->st_gid), number(-1));
        if (posix_io::fchown(fd_.get(), like->st_uid, like->st_gid) != 0) {
            // Not allowed: the new file stays ours, like a copy would.
        }
    }
    if (!copy_attributes(attributes_of != nullptr ? attributes_of : path_.c_str())) return false;
    const mode_t mode = like->st_mode & 07777;
    announce(s_event_chmod, shown_text(shown()), number(mode), number(-1));
    if (posix_io::fchmod(fd_.get(), mode) != 0) raise_os_error(shown());
    return true;
}

void ReplacementFile::narrow(const struct stat &like) {
    const mode_t mode = like.st_mode & 0700;
    announce(s_event_chmod, shown_text(shown()), number(mode), number(-1));
    if (posix_io::fchmod(fd_.get(), mode) != 0) raise_os_error(shown());
}

void ReplacementFile::set_times(const struct stat &like) {
    timespec times[2];
    file_times(like, times);
    Ref ns = check(Py_BuildValue("(LL)", static_cast<long long>(times[0].tv_sec) * 1000000000LL + times[0].tv_nsec,
                                 static_cast<long long>(times[1].tv_sec) * 1000000000LL + times[1].tv_nsec));
    announce(s_event_utime, shown_text(shown()), Py_None, ns, number(-1));
    if (posix_io::futimens(fd_.get(), times) != 0) {
        // Times are a courtesy; the content is what counts.
    }
}

// Gives the anonymous file a temporary name, for the rename that follows.
void ReplacementFile::name_anonymous() {
    const std::string source = "/proc/self/fd/" + std::to_string(fd_.get());
    for (int attempt = 0;; ++attempt) {
        std::string candidate = temporary_name();
        announce_pair(s_event_link, source, in_directory(candidate));
        if (posix_io::linkat(AT_FDCWD, source.c_str(), dirfd_.get(), candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temporary_ = std::move(candidate);
            return;
        }
        if (errno != EEXIST || attempt >= 100) raise_os_error(in_directory(candidate));
    }
}

// The named file takes the target's name only where nothing has it: a rename
// that never replaces where the file system has one, else a second link.
bool ReplacementFile::place_new_named() {
    const std::string from = in_directory(temporary_);
    announce_pair(s_event_rename, from, path_);
    if (posix_io::rename_noreplace(dirfd_.get(), temporary_.c_str(), name_.c_str()) == 0) {
        temporary_.clear();
        return true;
    }
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) raise_os_error(path_);
    announce_pair(s_event_link, from, path_);
    announce_remove(from);
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
    find_stale_temporaries();
    if (!replace) {
        if (!temporary_.empty()) return place_new_named() ? Outcome::placed : Outcome::kept;
        const std::string source = "/proc/self/fd/" + std::to_string(fd_.get());
        announce_pair(s_event_link, source, path_);
        if (posix_io::linkat(AT_FDCWD, source.c_str(), dirfd_.get(), name_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return Outcome::placed;
        }
        if (errno == EEXIST) return Outcome::kept;
        raise_os_error(path_);
    }
    if (temporary_.empty()) name_anonymous();
    // Announced before the name is made: a process killed between naming and
    // renaming would leave a stray.
    announce_pair(s_event_rename, in_directory(temporary_), path_);
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
    if (!temporary_.empty()) {  // a second link: the temporary name goes (announced)
        posix_io::unlinkat(dirfd_.get(), temporary_.c_str(), 0);
        temporary_.clear();
    }
    if (!listable_) return;
    posix_io::fsync(dirfd_.get());
    remove_stale_temporaries();
}

// Lists the temporaries of this target and of its backup ("<target>.bak"),
// ".<name>.<pid>.<unique>.tmp", regular, ours, not written here, and
// announces their removal: a hook that refuses it stops the write before
// the target changes.
void ReplacementFile::find_stale_temporaries() {
    stale_.clear();
    if (!listable_) return;
    const std::vector<std::string> prefixes = {stem_of(name_) + '.', stem_of(name_ + ".bak") + '.'};
    std::vector<std::string> names;
    if (!posix_io::names_starting(dirfd_.get(), prefixes, names)) return;
    const uid_t us = posix_io::geteuid();
    for (std::string &name : names) {
        const std::size_t stem = name.compare(0, prefixes[1].size(), prefixes[1]) == 0 ? prefixes[1].size()
                                                                                        : prefixes[0].size();
        if (name == temporary_ || !has_writer_pid(name.c_str() + stem) ||
            !may_be_stale(dirfd_.get(), name.c_str(), us)) {
            continue;
        }
        announce_remove(in_directory(name));
        stale_.push_back(std::move(name));
    }
}

void ReplacementFile::remove_stale_temporaries() noexcept {
    const uid_t us = posix_io::geteuid();
    for (const std::string &name : stale_) remove_if_unheld(dirfd_.get(), name.c_str(), us);
    stale_.clear();
}

// ---------------------------------------------------------- set aside ----

SetAside::SetAside(const std::string &path) : path_(path) {
    struct stat st{};
    if (posix_io::fstatat(AT_FDCWD, path.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (S_ISREG(st.st_mode)) {
        // Held as a writer holds its temporary, so that no cleaner takes it.
        fd_ = Fd(posix_io::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat held{};
        if (!fd_.valid() || posix_io::fstat(fd_.get(), held) != 0 || !same_file(held, st)) {
            fd_.reset();
            return;
        }
        posix_io::flock(fd_.get(), LOCK_EX | LOCK_NB);
        list_live(held);
    }
    const auto [dir, name] = split_path(path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = joined(dir, temporary_name(name));
        announce_pair(s_event_link, path, candidate);
        if (posix_io::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, candidate.c_str(), 0) == 0) {
            aside_ = std::move(candidate);
            return;
        }
        if (errno != EEXIST) return;  // no second name here: nothing can be kept aside
    }
}

SetAside::~SetAside() {
    // Neither restored nor dropped: the file is still at its name, and the
    // second name, the module's own, goes.
    if (!aside_.empty()) posix_io::unlinkat(AT_FDCWD, aside_.c_str(), 0);
    if (fd_.valid()) unlist_live(fd_.get());
}

void SetAside::announce_drop() {
    if (!aside_.empty()) announce_remove(aside_);
}

void SetAside::drop() noexcept {
    if (!aside_.empty()) posix_io::unlinkat(AT_FDCWD, aside_.c_str(), 0);
    aside_.clear();
}

bool SetAside::restore() noexcept {
    if (aside_.empty()) return false;
    const bool restored = posix_io::renameat(AT_FDCWD, aside_.c_str(), AT_FDCWD, path_.c_str()) == 0;
    if (restored) aside_.clear();
    return restored;
}

// ------------------------------------------------------------ copying ----

void copy_replacing(const std::string &source, const std::string &destination) {
    struct stat st{};
    const std::string content = read_whole(source, st);

    ReplacementFile copy(destination);
    if (!copy.open_directory()) raise_os_error(copy.path());
    Ref write_mode = check(PyUnicode_FromString("wb"));
    announce_open(destination, write_mode.get(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
    if (!copy.create(&st)) raise_os_error(copy.path());
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t wrote = posix_io::write(copy.fd(), content.data() + done, content.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) raise_os_error(copy.path());
        done += static_cast<std::size_t>(wrote);
    }
    if (!copy.settle(&st, source.c_str())) copy.narrow(st);  // never open to more than the original
    copy.set_times(st);
    copy.sync();
    if (copy.commit(true) != ReplacementFile::Outcome::placed) raise_os_error(copy.path());
    copy.finish();
}

}  // namespace brevan
