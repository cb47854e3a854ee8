// Replacing a file in one step, for save() and the start-up backup.
//
// The new content goes to a file in the target's directory that takes the
// target's name in one step at the end: rename() replaces whatever is at
// that name (a symbolic link or a hard link is replaced, never written
// through), link() gives the name only where there is none. The target
// holds its old content or its new content, whole, whatever happens.
//
// Where the system has them (Linux), the file is anonymous (O_TMPFILE) while
// it is written, so a process killed meanwhile leaves nothing behind. To
// replace a target it gets a temporary name just before the rename; a new
// file is linked straight to the target's name. Elsewhere it is a named file
// from the start. Temporary names are ".<target>.<pid>.<unique>.tmp"; the
// pid is there for people. Whether a writer is still at work is something it
// holds: an exclusive flock() on its temporary, taken before the file has a
// name (or, named from the start, checked to be still at its name once
// held), kept until the file is gone. A later write of the target removes
// the temporaries of it and of its backup ("<target>.bak") whose lock it
// can take without waiting, and no other: a writer in another PID namespace
// or on another host keeps its file. A copy made this way (the start-up
// backup) replaces whatever is at its name in the same way.
#pragma once

#include "posix_io.hpp"
#include "setting.hpp"

#include <string>
#include <sys/stat.h>

namespace brevan {

// The OSError for errno, naming `filename` (bytes, as the system saw it).
[[noreturn, gnu::cold]] void raise_os_error(const std::string &filename);

// The bytes of `path` (str, bytes or path-like) for the system calls.
std::string system_path(PyObject *path);

// Copies the file at `source` to `destination` (both str, bytes or path-like)
// as a replacement: whatever is at the destination's name (a symbolic link,
// a hard link, an older copy) is replaced, never written through, and a
// failure leaves it as it was. The copy keeps the permission bits, the owner
// (where allowed) and the times; a source that is not a regular file is
// refused.
void copy_replacing(PyObject *source, PyObject *destination);

class ReplacementFile {
public:
    // `path` as the system sees it; its directory is everything before the
    // last '/' (the working directory when there is none).
    explicit ReplacementFile(std::string path);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile &) = delete;
    ReplacementFile &operator=(const ReplacementFile &) = delete;

    const std::string &path() const noexcept { return path_; }

    // Opens the directory; false, with errno set, when it cannot be opened.
    bool open_directory() noexcept;
    // stat() of the target; false, with errno set, when that fails.
    bool stat_target(struct stat &st) const noexcept;
    // Whether this process may write the target itself.
    bool target_writable() const noexcept;

    // Creates the file, empty, with the permission bits and (where allowed)
    // the owner of `like`; without `like`, with those a plain open() gives a
    // new file: 0o666 less the umask. False when the directory takes no new
    // file from this process (EACCES, EPERM, EROFS); other failures raise.
    bool create(const struct stat *like);
    // The new file's descriptor, open until this object goes (file objects
    // made over it must not close it).
    int fd() const noexcept { return fd_.get(); }
    // Flushes the content to disk, without the interpreter lock.
    void sync();

    enum class Outcome {
        placed,   // the file has the target's name
        kept,     // only creating was asked for, and something had the name
        refused,  // the directory lets us create files but not replace this
                  // one (sticky, and the file is someone else's); errno says
                  // why, and the replacement is gone
    };
    // Gives the file the target's name: `replace` renames it over whatever
    // is there; otherwise the name is taken only where nothing has it.
    Outcome commit(bool replace);
    // After `placed`: makes the new name durable and removes the temporary
    // files of this target and of its backup that no writer holds. Best
    // effort.
    void finish() noexcept;

private:
    bool place_new_named();
    void name_anonymous();
    bool hold(bool named);
    void let_go() noexcept;
    std::string temporary_name() const;
    void remove_stale_temporaries();

    std::string path_, dir_, name_;
    posix_io::Fd dirfd_;
    posix_io::Fd fd_;  // closed before the directory
    bool listable_ = true;  // the directory could be opened for reading
    std::string temporary_;  // the temporary name, while it exists
    bool held_ = false;      // fd_'s file is in this process's list of live temporaries
};

}  // namespace brevan
