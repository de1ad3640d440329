// Whole-file replacement through locked temporaries, their clean-up, and lock files.
#include "AtomicFile.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Log.h"
#include "aTime.h"

static const char sTEMPORARY_MARK[] = ".tmp.";
static const size_t sTEMPORARY_DIGITS = 16;

// 64 bits no other run is likely to draw: the name only has to be new in its directory, and
// O_EXCL makes sure of that.
static unsigned long long sRandom()
{
    unsigned long long value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) == (ssize_t)sizeof value)
        return value;
    static std::atomic<unsigned long long> counter{0};
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    value = (unsigned long long)now.tv_nsec * 0x9E3779B97F4A7C15ull;
    value ^= (unsigned long long)now.tv_sec << 32;
    value ^= (unsigned long long)getpid() << 16;
    return value ^ counter.fetch_add(1);
}

TemporaryFile::~TemporaryFile()
{
    if (fd < 0)
        return;
    // Removed before the lock goes with the close: no clean-up can take it in between.
    if (!path.empty())
        unlink(path.c_str());
    close(fd);
}

aErr TemporaryFile::Create(const std::string& targetPath)
{
    if (fd >= 0)
        return aErrBusy;
    size_t slash = targetPath.rfind('/');
    std::string dir = slash == std::string::npos ? "" : targetPath.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? targetPath : targetPath.substr(slash + 1);
    if (base.empty())
        return aErrParam;
    target = targetPath;
    // Cut so the whole name stays well inside a file name's 255 bytes.
    std::string stem = dir + "." + base.substr(0, 200) + sTEMPORARY_MARK;
    std::string name;
    reason = EEXIST;
    for (int attempt = 0; attempt < 16; attempt++) {
        char digits[sTEMPORARY_DIGITS + 1];
        snprintf(digits, sizeof digits, "%016llx", sRandom());
        name = stem + digits;
        int made = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (made < 0) {
            reason = errno;
            if (reason == EEXIST)
                continue;
            return aErrNotFound;
        }
        // Between the open and the lock another run's clean-up may find the file unlocked and
        // remove it: then the lock is busy (it holds it) or the file has no name left, and
        // this run starts over with a new one. Once locked with its name, it is safe.
        int locked;
        do
            locked = flock(made, LOCK_EX | LOCK_NB);
        while (locked != 0 && errno == EINTR);
        if (locked != 0) {
            int lockErrno = errno;
            if (lockErrno == EWOULDBLOCK) {
                close(made);
                reason = lockErrno;
                continue;
            }
            // A file system without locks: no clean-up can take a lock there either, so
            // none removes this file.
            Log::log(DEBUG_Attributes, "Attibutes: no lock on [%s] (%d)\n", name.c_str(),
                     lockErrno);
        }
        struct stat st;
        if (fstat(made, &st) != 0 || st.st_nlink == 0) {
            reason = errno;
            close(made);
            continue;
        }
        path = std::move(name);
        fd = made;
        reason = 0;
        return aErrNone;
    }
    return aErrNotFound;
}

aErr TemporaryFile::Write(const void* data, size_t length)
{
    if (fd < 0 || (!data && length > 0))
        return aErrParam;
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            reason = n < 0 ? errno : EIO;
            return aErrIO;
        }
        bytes += n;
        length -= (size_t)n;
    }
    return aErrNone;
}

aErr TemporaryFile::Sync()
{
    if (fd < 0)
        return aErrParam;
    if (fsync(fd) != 0) {
        reason = errno;
        return aErrIO;
    }
    return aErrNone;
}

aErr TemporaryFile::Commit()
{
    if (fd < 0)
        return aErrParam;
    if (rename(path.c_str(), target.c_str()) != 0) {
        reason = errno;
        return aErrIO;
    }
    close(fd);
    fd = -1;
    path.clear();
    return aErrNone;
}

aErr FileLock::Take(const std::string& path, unsigned int waitMs)
{
    if (fd >= 0)
        return aErrBusy;
    // Read-only is enough for flock, so a lock file made by another user still serves.
    int lockFd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (lockFd < 0) {
        reason = errno;
        return aErrNotFound;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    // flock has no time-out of its own: short waits between tries, growing to 50 ms, so a
    // lock given up soon is taken soon and a long wait costs little.
    unsigned int pause = 1;
    for (;;) {
        if (flock(lockFd, LOCK_EX | LOCK_NB) == 0)
            break;
        int lockErrno = errno;
        if (lockErrno != EWOULDBLOCK && lockErrno != EINTR) {
            close(lockFd);
            reason = lockErrno;
            return aErrIO;
        }
        Clock::time_point now = Clock::now();
        if (now >= deadline) {
            close(lockFd);
            reason = 0;
            return aErrTimeout;
        }
        long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        aTime_MSSleep(left < pause ? (u64)left : pause);
        if (pause < 50)
            pause *= 2;
    }
    fd = lockFd;
    reason = 0;
    return aErrNone;
}

void FileLock::Release()
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

bool AtomicFile::IsTemporaryName(const char* name)
{
    if (!name || name[0] != '.')
        return false;
    const char* mark = nullptr;
    for (const char* p = strstr(name + 1, sTEMPORARY_MARK); p; p = strstr(p + 1, sTEMPORARY_MARK))
        mark = p;
    // The target's name is never empty.
    if (!mark || mark == name + 1)
        return false;
    const char* digits = mark + strlen(sTEMPORARY_MARK);
    if (strlen(digits) != sTEMPORARY_DIGITS)
        return false;
    for (const char* p = digits; *p; p++)
        if (!isdigit((unsigned char)*p) && !(*p >= 'a' && *p <= 'f'))
            return false;
    return true;
}

// Removes dir's entry name when it is a regular file whose lock this call can take, and only
// while it holds that lock; false when it stays.
static bool sRemoveIfAbandoned(int dirFd, const char* name)
{
    struct stat listed;
    if (fstatat(dirFd, name, &listed, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(listed.st_mode))
        return false;
    int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    bool removed = false;
    struct stat opened, now;
    // The lock first, then the name checked to be still this file: a writer that renamed it
    // away and let its lock go leaves the name to nobody (or to a new file, which stays).
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        fstatat(dirFd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == opened.st_dev &&
        now.st_ino == opened.st_ino)
        removed = unlinkat(dirFd, name, 0) == 0;
    close(fd);
    return removed;
}

int AtomicFile::RemoveStaleTemporaries(const char* dir)
{
    if (!dir || !*dir)
        return 0;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DIR* listing = fdopendir(fd);
    if (!listing) {
        close(fd);
        return 0;
    }
    int removed = 0;
    for (struct dirent* entry = readdir(listing); entry; entry = readdir(listing)) {
        if (!IsTemporaryName(entry->d_name) || !sRemoveIfAbandoned(fd, entry->d_name))
            continue;
        Log::log(DEBUG_Attributes, "Attibutes: removed [%s] of a run that is gone\n",
                 entry->d_name);
        removed++;
    }
    closedir(listing);
    return removed;
}

static aErr sReplace(const char* path, const void* data, size_t length, int* reason)
{
    *reason = 0;
    if (!path || !*path || (!data && length > 0))
        return aErrParam;
    std::string target(path);
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    if (slash == target.size() - 1)
        return aErrParam;

    struct stat st;
    bool keepMode = stat(path, &st) == 0;
    if (keepMode && S_ISDIR(st.st_mode)) {
        *reason = EISDIR;
        return aErrIO;
    }

    // What killed runs left here goes first, or nothing would ever remove it.
    AtomicFile::RemoveStaleTemporaries(dir.c_str());

    TemporaryFile temp;
    aErr err = temp.Create(target);
    if (err == aErrNone && keepMode && fchmod(temp.Descriptor(), st.st_mode & 07777) != 0)
        // Another user's file: the new one has this run's mode, as a new file would.
        Log::log(DEBUG_Attributes, "Attibutes: mode of [%s] not kept (%d)\n", path, errno);
    if (err == aErrNone)
        err = temp.Write(data, length);
    if (err == aErrNone)
        err = temp.Sync();
    if (err == aErrNone)
        err = temp.Commit();
    if (err != aErrNone)
        *reason = temp.Reason();
    return err;
}

aErr AtomicFile::Replace(const char* path, const void* data, size_t length, int* reason)
{
    int ignored = 0;
    if (!reason)
        reason = &ignored;
    try {
        return sReplace(path, data, length, reason);
    } catch (const std::bad_alloc&) {
        // Only the names are made on the heap, all before the temporary file is written.
        *reason = ENOMEM;
        return aErrMemory;
    }
}

std::string AtomicFile::ReasonText(aErr err, int reason)
{
    if (reason != 0) {
        char text[256];
        return strerror_r(reason, text, sizeof text);
    }
    return aError_GetErrorDescription(err);
}
