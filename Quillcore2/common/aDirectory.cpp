// Directories over POSIX: test, create with ancestors, list, home directory, path joining.
#include "aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

// Parts that aDirectory_BuildPath joins at most.
static const int sMaxParts = 10;
// Bound on nesting for a tree removal, so a hostile tree cannot exhaust the stack.
static const int sMaxTreeDepth = 256;

bool aDirectory_Exists(const char* path)
{
    if (!path)
        return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes one directory; only "already there" counts as success besides making it.
static bool sMakeOne(const std::string& path, u16 mode)
{
    return mkdir(path.c_str(), (mode_t)mode) == 0 || errno == EEXIST;
}

aErr aDirectory_Ensure(const char* path, u16 mode)
{
    if (!path)
        return aErrParam;
    if (aDirectory_Exists(path))
        return aErrNone;
    try {
        std::string copy(path);
        // Walk back to the deepest ancestor that exists; everything after it is missing.
        size_t start = 0;
        for (size_t cut = copy.rfind('/'); cut != std::string::npos && cut > 0;
             cut = copy.rfind('/', cut - 1)) {
            if (aDirectory_Exists(copy.substr(0, cut).c_str())) {
                start = cut + 1;
                break;
            }
        }
        // Forward over the missing components; empty ones (leading or doubled "/") are skipped.
        for (size_t pos = copy.find('/', start); pos != std::string::npos;
             pos = copy.find('/', pos + 1)) {
            if (pos == 0 || copy[pos - 1] == '/')
                continue;
            std::string prefix = copy.substr(0, pos);
            if (!aDirectory_Exists(prefix.c_str()) && !sMakeOne(prefix, mode))
                return aErrPermission;
        }
        if (!aDirectory_Exists(path) && !sMakeOne(copy, mode))
            return aErrPermission;
    } catch (const std::bad_alloc&) {
        return aErrMemory;
    }
    // "Already exists" may name a file of that name, which is no directory.
    return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref)
{
    if (!path || !proc)
        return aErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return aErrNotFound;
    aErr result = aErrNone;
    try {
        // Joined in a string so that an entry's full path is handed on whatever its length.
        std::string full(path);
        if (full.empty() || full.back() != '/')
            full += '/';
        const size_t base = full.size();
        for (struct dirent* entry = readdir(dir); entry; entry = readdir(dir)) {
            full.resize(base);
            full += entry->d_name;
            struct stat st;
            // Links are followed: a store directory may be a link to one elsewhere. An entry
            // whose status cannot be read (a dangling link) is skipped. The tree removal walks
            // on its own and never follows a link.
            if (stat(full.c_str(), &st) != 0)
                continue;
            aDirectoryListData data;
            data.path = full.c_str();
            data.size = (u32)st.st_size;
            data.isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
            if (!proc(&data, ref))
                break;
        }
    } catch (const std::bad_alloc&) {
        result = aErrMemory;
    }
    closedir(dir);
    return result;
}

// Copies text cut to fit and terminated; aErrOverrun when it had to be cut.
static aErr sCopyCut(char* buffer, size_t size, const char* text)
{
    size_t length = strlen(text);
    if (length < size) {
        memcpy(buffer, text, length + 1);
        return aErrNone;
    }
    memcpy(buffer, text, size - 1);
    buffer[size - 1] = '\0';
    return aErrOverrun;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrParam;
    buffer[0] = '\0';
    try {
        long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> scratch(hint > 0 ? (size_t)hint : 16384);
        struct passwd entry;
        struct passwd* found = NULL;
        // The entry may need more room than the system's hint; grow a bounded number of times.
        for (int tries = 0; tries < 8; ++tries) {
            int rc = getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found);
            if (rc != ERANGE)
                break;
            found = NULL;
            scratch.resize(scratch.size() * 2);
        }
        if (found && found->pw_dir && found->pw_dir[0])
            return sCopyCut(buffer, size, found->pw_dir);
    } catch (const std::bad_alloc&) {
        return aErrMemory;
    }
    const char* home = getenv("HOME");
    if (home && home[0])
        return sCopyCut(buffer, size, home);
    return aErrNotFound;
}

static bool sInside(const char* p, const char* buffer, size_t size)
{
    return p >= buffer && p < buffer + size;
}

static aErr sBuildPath(char* buffer, size_t size, const char* const* parts, int count)
{
    size_t length = strlen(parts[0]);
    if (length >= size - 1)
        return aErrOverrun;
    memcpy(buffer, parts[0], length + 1);
    for (int i = 1; i < count; ++i) {
        const char* part = parts[i];
        size_t room = size - length - 1;
        if (room > 1 && (length == 0 || buffer[length - 1] != '/') && part[0] != '/') {
            buffer[length++] = '/';
            buffer[length] = '\0';
            --room;
        }
        size_t partLength = strlen(part);
        if (partLength >= room)
            return aErrOverrun;
        memcpy(buffer + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
{
    if (buffer && size > 0)
        buffer[0] = '\0';
    if (!buffer || size < 2 || !first)
        return aErrParam;
    const char* parts[sMaxParts];
    int count = 0;
    parts[count++] = first;
    bool tooMany = false;
    va_list args;
    va_start(args, first);
    for (const char* part = va_arg(args, const char*); part; part = va_arg(args, const char*)) {
        if (count == sMaxParts) {
            tooMany = true;
            break;
        }
        parts[count++] = part;
    }
    va_end(args);
    if (tooMany)
        return aErrParam;
    // The buffer is emptied and written while parts are read, so no part may lie in it.
    for (int i = 0; i < count; ++i)
        if (sInside(parts[i], buffer, size))
            return aErrParam;
    aErr result = sBuildPath(buffer, size, parts, count);
    return result;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* a, const char* b)
{
    return aDirectory_BuildPath(buffer, size, a, b, (const char*)NULL);
}

const char* backwards_memcmp(const char* text, const char* pattern)
{
    if (!text || !pattern)
        return NULL;
    size_t textLength = strlen(text);
    size_t patternLength = strlen(pattern);
    if (patternLength == 0)
        return text;
    if (patternLength > textLength)
        return NULL;
    for (size_t at = textLength - patternLength + 1; at-- > 0;)
        if (memcmp(text + at, pattern, patternLength) == 0)
            return text + at;
    return NULL;
}

aErr aDirectory_Delete(const char* path)
{
    if (!path)
        return aErrParam;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

// Empties the directory open as dirFd (which it closes), depth first. Entries are opened
// relative to their parent and never through a link, so a link inside the tree is removed
// as itself and nothing outside the tree is touched. False ends the walk.
static bool sEmptyTree(int dirFd, const std::string& shown, int depth)
{
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return false;
    }
    bool ok = true;
    try {
        for (struct dirent* entry = readdir(dir); ok && entry; entry = readdir(dir)) {
            const char* name = entry->d_name;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
                continue;
            std::string path = shown + "/" + name;
            struct stat st;
            if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                ok = false;
                break;
            }
            if (S_ISDIR(st.st_mode)) {
                int child = -1;
                if (depth < sMaxTreeDepth)
                    child = openat(dirfd(dir), name,
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                ok = child != -1 && sEmptyTree(child, path, depth + 1) &&
                     unlinkat(dirfd(dir), name, AT_REMOVEDIR) == 0;
            } else if (unlinkat(dirfd(dir), name, 0) != 0) {
                perror("aDirectory_DeleteTree");
                printf("---error unlink-ing file [%s]\n", path.c_str());
                ok = false;
            }
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    closedir(dir);
    return ok;
}

aErr aDirectory_DeleteTree(const char* path)
{
    if (!path)
        return aErrParam;
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1)
        return aErrNotFound;
    // When the walk ends early the directory is not empty and its removal reports that.
    sEmptyTree(fd, path, 0);
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrParam;
    return getcwd(buffer, size) ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrParam;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[n] = '\0';
    return aErrNone;
}
