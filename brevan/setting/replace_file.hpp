// Replacing a file in one step, for save() and the start-up backup.
//
// The new content goes to a file in the target's directory that takes the
// target's name in one step at the end: rename() replaces whatever is at
// that name (a symbolic link or a hard link is replaced, never written
// through), link() gives the name only where there is none. The target
// holds its old content or its new content, whole, whatever happens.
//
// Nobody else can read the new content before it has the target's name:
// where the system has them (Linux), the file is anonymous (O_TMPFILE) while
// it is written, so a process killed meanwhile leaves nothing behind, and it
// is linked only once its mode is final. Elsewhere it is a named file from
// the start, made open to its owner alone (0o600, never more than the
// target's own bits) and given the target's mode only when its content is
// complete, just before it takes the target's name. It takes over what is
// on the target: owner (where allowed), extended attributes (the access ACL
// among them), permission bits. Where an attribute cannot be carried over,
// replacing would change who may read the file: commit is then not asked
// for (settle() says so), and the caller writes in place.
//
// Every change is announced to audit hooks before it is made, with the
// event the matching os call raises and the paths it acts on ("open" for a
// named file made, "os.link", "os.rename", "os.remove", "os.chmod",
// "os.chown", "os.setxattr", "os.removexattr", "os.utime"); the events come
// before any change but the replacement itself, so a hook that refuses one
// leaves the directory as it was (the replacement removed).
//
// Temporary names are ".<target>.<pid>.<unique>.tmp"; the pid is there for
// people. Whether a writer is still at work is something it holds: an
// exclusive flock() on its temporary, taken before the file has a name (or,
// named from the start, checked to be still at its name once held), kept
// until the file is gone. A later write of the target removes the
// temporaries of it and of its backup ("<target>.bak") whose lock it can
// take without waiting, and no other: a writer in another PID namespace or
// on another host keeps its file. A copy made this way (the start-up
// backup) replaces whatever is at its name in the same way.
#pragma once

#include "posix_io.hpp"
#include "setting.hpp"

#include <string>
#include <sys/stat.h>
#include <vector>

namespace brevan {

// The OSError for errno, naming `filename` (bytes, as the system saw it).
[[noreturn, gnu::cold]] void raise_os_error(const std::string &filename);

// The bytes of `path` (str, bytes or path-like) for the system calls.
std::string system_path(PyObject *path);

// The real location of `path` (links resolved, by os.path.realpath), as
// bytes for the system calls.
std::string real_path(PyObject *path);

// Copies the regular file at `source` (bytes) to `destination` (bytes) as a
// replacement: whatever is at the destination's name (a symbolic link, a
// hard link, an older copy) is replaced, never written through, and a
// failure leaves it as it was. The copy keeps the owner (where allowed),
// the extended attributes and ACL, the permission bits and the times; where
// an attribute cannot be kept, it is open to its owner alone.
void copy_replacing(const std::string &source, const std::string &destination);

// A file kept under a second, temporary name beside it while a change that
// may have to be undone replaces it: the older start-up backup, while save()
// replaces the settings the new one keeps. Held as a writer holds its
// temporary, so no cleaner takes it. Nothing is kept where there is no file,
// or no second name can be made.
class SetAside {
public:
    // Links the file at `path` (bytes) to its temporary name (announced as
    // os.link).
    explicit SetAside(const std::string &path);
    // Neither restored nor dropped: the temporary name goes.
    ~SetAside();
    SetAside(const SetAside &) = delete;
    SetAside &operator=(const SetAside &) = delete;

    bool kept() const noexcept { return !aside_.empty(); }
    // Announces drop() (os.remove), before the change it may follow is made.
    void announce_drop();
    // The change stands: the temporary name goes.
    void drop() noexcept;
    // The change is undone: the file takes its name back, replacing what is
    // there now. An undo of the module's own announced changes, not
    // announced again. False (errno set) when it could not.
    bool restore() noexcept;

private:
    std::string path_, aside_;
    posix_io::Fd fd_;
};

class ReplacementFile {
public:
    // `path` as the system sees it; its directory is everything before the
    // last '/' (the working directory when there is none).
    explicit ReplacementFile(std::string path);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile &) = delete;
    ReplacementFile &operator=(const ReplacementFile &) = delete;

    const std::string &path() const noexcept { return path_; }
    // Whether the path names a root directory, with no name in it.
    bool is_root() const noexcept { return name_.empty(); }

    // Opens the directory; false, with errno set, when it cannot be opened.
    bool open_directory() noexcept;
    // stat() of the target; false, with errno set, when that fails.
    bool stat_target(struct stat &st) const noexcept;
    // Whether this process may write the target itself.
    bool target_writable() const noexcept;

    // Creates the file, empty: a named one open to its owner alone and never
    // more than `like`, the file it replaces (null for a new file); an
    // anonymous one as a plain open() makes it, which nobody else can reach.
    // False when the directory takes no new file from this process (EACCES,
    // EPERM, EROFS); other failures raise.
    bool create(const struct stat *like);
    // The new file's descriptor, open until this object goes (file objects
    // made over it must not close it).
    int fd() const noexcept { return fd_.get(); }
    // Flushes the content to disk.
    void sync();

    // With the content complete: gives the new file what it takes over from
    // `like` (owner where allowed, permission bits) and the file at
    // `attributes_of` (extended attributes; the target when null), or, for a
    // new file (`like` null), the bits a plain open() gives. False when an
    // extended attribute cannot be given: the file would not be what it
    // replaces, and must not take its name.
    bool settle(const struct stat *like, const char *attributes_of = nullptr);
    // Sets the new file's times (announced as os.utime).
    void set_times(const struct stat &like);
    // Gives the new file permission bits of its owner alone: what the
    // copy keeps where settle() could not carry an attribute over.
    void narrow(const struct stat &like);

    enum class Outcome {
        placed,   // the file has the target's name
        kept,     // only creating was asked for, and something had the name
        refused,  // the directory lets us create files but not replace this
                  // one (sticky, and the file is someone else's); errno says
                  // why, and the replacement is gone
    };
    // Announces the removal of the temporaries no writer holds, then gives
    // the file the target's name: `replace` renames it over whatever is
    // there; otherwise the name is taken only where nothing has it.
    Outcome commit(bool replace);
    // After `placed`: makes the new name durable and removes the temporaries
    // commit() announced that no writer holds. Best effort.
    void finish() noexcept;

private:
    bool place_new_named();
    void name_anonymous();
    bool hold(bool named);
    void let_go() noexcept;
    std::string temporary_name() const;
    std::string in_directory(const std::string &name) const;
    std::string shown() const;
    mode_t new_file_mode();
    bool copy_attributes(const char *from);
    void find_stale_temporaries();
    void remove_stale_temporaries() noexcept;

    std::string path_, dir_, name_;
    posix_io::Fd dirfd_;
    posix_io::Fd fd_;  // closed before the directory
    bool listable_ = true;  // the directory could be opened for reading
    std::string temporary_;  // the temporary name, while it exists
    bool held_ = false;      // fd_'s file is in this process's list of live temporaries
    std::vector<std::string> stale_;  // temporaries announced for removal
};

}  // namespace brevan
