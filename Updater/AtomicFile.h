// Files of the store replaced whole (a temporary file beside the target, renamed over it), the
// clean-up of temporaries that killed runs left, and the lock that keeps two runs' changes of
// one file apart. Runs on one store may live in other PID namespaces (containers), so nothing
// here trusts a process number: a temporary is alive exactly while its writer holds its lock.
#ifndef _AtomicFile_H_
#define _AtomicFile_H_

#include <cstddef>
#include <string>

#include "aError.h"

// A temporary file beside a target, locked (flock on its own descriptor) from the moment it
// has a name until it is renamed or removed, and written through the descriptor that made it.
// The destructor removes a file that was not committed.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Makes "." + the target's name + ".tmp." + 16 hexadecimal digits beside target, with
    // O_EXCL and mode 0666 less the umask, and takes its lock. aErrNotFound when no file can
    // be made (Reason says why), aErrParam for a target without a name, aErrBusy when one is
    // already open in this object.
    aErr Create(const std::string& target);
    // All the bytes through the descriptor; aErrIO when a write fails (a full disk, a size
    // limit), aErrParam before Create.
    aErr Write(const void* data, size_t length);
    // fsync of the file; aErrIO when it fails.
    aErr Sync();
    // Renamed over the target; the lock goes with the descriptor afterwards. aErrIO when the
    // rename fails (the file stays temporary and is removed by the destructor).
    aErr Commit();

    const std::string& Path() const { return path; }
    int Descriptor() const { return fd; }
    // The system's error number of the last failure (0 when none).
    int Reason() const { return reason; }

private:
    std::string path, target;
    int fd = -1;
    int reason = 0;
};

// An exclusive lock on a lock file (flock), released by Release or the destructor.
class FileLock {
public:
    FileLock() = default;
    ~FileLock() { Release(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock of the file at path, made empty (mode 0666 less the umask) when missing,
    // trying again until waitMs have passed. aErrNone when held; aErrTimeout when another
    // holder kept it all that time; aErrNotFound when the file cannot be opened or made, and
    // aErrIO when the system refuses the lock (Reason says why); aErrBusy when held already.
    aErr Take(const std::string& path, unsigned int waitMs);
    void Release();
    bool Held() const { return fd >= 0; }
    int Reason() const { return reason; }

private:
    int fd = -1;
    int reason = 0;
};

class AtomicFile {
public:
    // Replaces the file at path with the bytes: written to a TemporaryFile beside it (every
    // write checked, then synced) and renamed over the old one, whose permission bits it
    // keeps. On any failure the old file is untouched and the temporary removed. aErrParam
    // for a null path or data, aErrNotFound when the temporary cannot be made, aErrIO when
    // writing, syncing or renaming fails (or path is a directory), aErrMemory when the names
    // cannot be made. *reason, when given, gets the system's error number (0 when none).
    // Before it makes its own temporary it removes the stale ones of the target's directory.
    static aErr Replace(const char* path, const void* data, size_t length, int* reason = nullptr);

    // Removes the regular files of dir named as TemporaryFile names them whose lock it can
    // take at once: their writer is gone (killed before its rename), whatever PID namespace
    // it ran in. A temporary being written, and any other file, stays. The number removed.
    static int RemoveStaleTemporaries(const char* dir);

    // Whether name is one that TemporaryFile makes.
    static bool IsTemporaryName(const char* name);

    // The text for a user of a failed store write: the system's reason when reason is not 0,
    // else the description of err.
    static std::string ReasonText(aErr err, int reason);
};

#endif
