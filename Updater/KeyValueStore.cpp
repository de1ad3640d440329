// Attribute files: reading and writing key=value lines, typed getters and setters.
#include "KeyValueStore.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Log.h"
#include "aFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";
const size_t KeyValueStore::MAX_LINE;

KeyValueStore::KeyValueStore(const char* path) : dirty(false)
{
    if (path)
        Load(path);
}

KeyValueStore::KeyValueStore(const KeyValueStore& other) = default;
KeyValueStore& KeyValueStore::operator=(const KeyValueStore& other) = default;
KeyValueStore::KeyValueStore(KeyValueStore&& other) noexcept = default;
KeyValueStore& KeyValueStore::operator=(KeyValueStore&& other) noexcept = default;
KeyValueStore::~KeyValueStore() = default;

std::string KeyValueStore::TimeStamp()
{
    time_t now = time(nullptr);
    char text[64];
    if (!ctime_r(&now, text))
        return "";
    text[strcspn(text, "\n")] = '\0';
    return text;
}

// One line as the reader splits it; false for lines that carry no entry.
static bool sParseLine(char* line, std::string& key, std::string& value)
{
    if (strlen(line) < 3 || line[0] == '#')
        return false;
    while (isspace((unsigned char)*line))
        line++;
    // An indented comment too: Save would write its key unindented, which reads as a comment.
    if (*line == '#')
        return false;
    char* eq = strchr(line, '=');
    if (!eq)
        return false;
    char* keyEnd = eq;
    while (keyEnd > line && isspace((unsigned char)keyEnd[-1]))
        keyEnd--;
    if (keyEnd == line)
        return false;
    char* v = eq + 1;
    while (isspace((unsigned char)*v))
        v++;
    char* vEnd = v + strlen(v);
    while (vEnd > v && isspace((unsigned char)vEnd[-1]))
        vEnd--;
    key.assign(line, keyEnd);
    value.assign(v, vEnd);
    return true;
}

// The entries of an open attributes file into values, a line too long for any entry skipped;
// aErrIO when a read fails (the entries before it are kept).
static aErr sReadEntries(aFile* file, const char* path,
                         std::map<std::string, std::string>& values)
{
    aErr result = aErrNone;
    char line[KeyValueStore::MAX_LINE + 1];
    bool skipping = false;
    // Each read consumes at least one byte, so the loop ends with the file.
    for (;;) {
        aErr err = aFile_ReadLine(file, line, sizeof line, nullptr);
        if (err == aErrEOF)
            break;
        if (err == aErrOverrun) {
            // A line too long for any entry: drop it whole and go on, so a later save
            // keeps the lines after it.
            if (!skipping)
                Log::log(DEBUG_Attributes, "Attibutes: line too long in '%s', skipped\n", path);
            skipping = true;
            continue;
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Attributes, "Attibutes: Error (%d) reading attributes file: '%s'\n",
                     err, path);
            result = aErrIO;
            break;
        }
        if (skipping) {
            // The first read that is not cut ends the long line at its newline. Its text
            // cannot tell: a NUL byte in it (a damaged file) hides the newline from strlen,
            // and the next whole entry would be dropped with it.
            skipping = false;
            continue;
        }
        std::string key, value;
        // A last line of the reader's whole buffer without its newline would not read back
        // once saved with one.
        if (sParseLine(line, key, value) &&
            key.size() + value.size() + 2 <= KeyValueStore::MAX_LINE)
            values[key] = value;
    }
    return result;
}

aErr KeyValueStore::Load(const char* path)
{
    if (!path || !*path)
        return aErrParam;
    aFile* file = nullptr;
    struct stat st;
    bool exists = stat(path, &st) == 0;
    int openErrno = errno;
    if (exists && S_ISREG(st.st_mode)) {
        file = aFile_Open(path, aFILE_MODE_READ);
        openErrno = errno;
    } else if (exists) {
        openErrno = EISDIR;
    }
    if (!file) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 path, openErrno);
        if (exists || openErrno != ENOENT) {
            // It is there (or its folder cannot be searched): making a new one would throw
            // away whatever it holds.
            _mark_unreadable(path);
            return aErrIO;
        }
        try {
            Add(KEY_CREATED_TIME, TimeStamp().c_str());
        } catch (const std::bad_alloc&) {
            // No stamp: the file is made without it.
        }
        return Save(path);
    }
    aErr result = aErrNone;
    try {
        filename = path;
        dirty = false;
        result = sReadEntries(file, path, values);
    } catch (const std::bad_alloc&) {
        // Memory ran out part of the way (a huge file): what was read is not the whole file.
        Log::log(DEBUG_Attributes, "Attibutes: Error - out of memory reading '%s'\n", path);
        result = aErrMemory;
    }
    aFile_Close(&file);
    if (result != aErrNone)
        _mark_unreadable(path);
    else if (unreadable == path)
        unreadable.clear();
    return result;
}

void KeyValueStore::_mark_unreadable(const char* path) noexcept
{
    try {
        filename = path;
        unreadable = path;
    } catch (const std::bad_alloc&) {
        // Without a name a save has nowhere to go, so the file is not replaced either.
        filename.clear();
    }
}

aErr KeyValueStore::Save(const char* path)
{
    try {
        return _save(path);
    } catch (const std::bad_alloc&) {
        // Nothing was written yet: the text is made before the temporary file.
        Log::log(DEBUG_Attributes, "Attibutes: Error - out of memory saving attributes\n");
        return aErrMemory;
    }
}

aErr KeyValueStore::_save(const char* path)
{
    if (path) {
        filename = path;
    } else if (filename.empty()) {
        // A nameless store has no place in the tree: never write into the working directory.
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, not saved\n");
        return aErrParam;
    }
    if (!unreadable.empty() && filename == unreadable) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - '%s' could not be read, it is not overwritten\n",
                 filename.c_str());
        return aErrIO;
    }
    if (dirty)
        Add(KEY_UPDATED_TIME, TimeStamp().c_str());
    std::string text;
    for (const auto& entry : values) {
        text += entry.first;
        text += '=';
        text += entry.second;
        text += '\n';
    }
    aErr err = ReplaceFile(filename.c_str(), text.data(), text.size());
    if (err != aErrNone) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), errno);
        return err;
    }
    dirty = false;
    return aErrNone;
}

std::string* KeyValueStore::_entry(const char* key)
{
    if (!key)
        return nullptr;
    try {
        return &values[key];
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::string KeyValueStore::GetString(const char* key, const char* def) const
{
    if (key) {
        auto it = values.find(key);
        if (it != values.end())
            return it->second;
    }
    return def ? def : "";
}

const char* KeyValueStore::operator[](const char* key) const
{
    if (!key)
        return nullptr;
    auto it = values.find(key);
    return it == values.end() ? nullptr : it->second.c_str();
}

int KeyValueStore::GetInt(const char* key, int def)
{
    std::string* v = _entry(key);
    if (!v || v->empty())
        return def;
    errno = 0;
    long n = strtol(v->c_str(), nullptr, 10);
    // Build numbers are read here and are 32-bit unsigned: one above INT_MAX comes back with
    // its 32 bits, so the caller's unsigned of it is the number.
    if (errno == ERANGE || n > (long)UINT_MAX || n < INT_MIN)
        return def;
    return (int)(unsigned int)n;
}

unsigned int KeyValueStore::GetHex(const char* key, unsigned int def)
{
    std::string* v = _entry(key);
    if (!v || v->empty())
        return def;
    errno = 0;
    unsigned long long n = strtoull(v->c_str(), nullptr, 16);
    if (errno == ERANGE || n > UINT_MAX)
        return def;
    return (unsigned int)n;
}

bool KeyValueStore::GetBOOL(const char* key, bool def)
{
    std::string* v = _entry(key);
    if (!v || v->empty())
        return def;
    // Any number but 0, however large, is true.
    return strtol(v->c_str(), nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const char* key, double def)
{
    std::string* v = _entry(key);
    if (!v || v->empty())
        return def;
    return strtod(v->c_str(), nullptr);
}

bool KeyValueStore::_set(const char* key, const char* value, size_t length)
{
    if (!key || !*key || strpbrk(key, "=\r\n") || memchr(value, '\r', length) ||
        memchr(value, '\n', length))
        return false;
    if (strlen(key) + 1 + length + 1 > MAX_LINE)
        return false;
    try {
        std::string& slot = values[key];
        if (slot.compare(0, std::string::npos, value, length) != 0) {
            slot.assign(value, length);
            dirty = true;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool KeyValueStore::Add(const char* key, const char* value)
{
    if (!value)
        return false;
    return _set(key, value, strlen(value));
}

bool KeyValueStore::Add(const char* key, const std::string& value)
{
    return _set(key, value.data(), value.size());
}

bool KeyValueStore::Add(const char* key, int value)
{
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return _set(key, text, strlen(text));
}

bool KeyValueStore::Add(const char* key, double value)
{
    char text[512];
    snprintf(text, sizeof text, "%f", value);
    return _set(key, text, strlen(text));
}

bool KeyValueStore::AddHex(const char* key, unsigned int value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return _set(key, text, strlen(text));
}

bool KeyValueStore::Add(const KeyValueStore& other)
{
    if (&other == this)
        return true;
    for (const auto& entry : other.values)
        values[entry.first] = entry.second;
    if (!other.values.empty())
        dirty = true;
    return true;
}

void KeyValueStore::Clear()
{
    values.clear();
    dirty = true;
}

// A process's start time in clock ticks since boot (field 22 of /proc/<pid>/stat); 0 when it
// cannot be read.
static unsigned long long sStartTime(long pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[1024];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    // The command name (field 2) may hold blanks and parentheses: fields are counted from the
    // last ')'.
    const char* p = strrchr(text, ')');
    if (!p)
        return 0;
    p++;
    for (int field = 3; field < 22; field++) {
        while (*p == ' ')
            p++;
        while (*p && *p != ' ')
            p++;
    }
    while (*p == ' ')
        p++;
    return strtoull(p, nullptr, 10);
}

static unsigned long long sOwnStartTime()
{
    static const unsigned long long start = sStartTime((long)getpid());
    return start;
}

static const char sTEMPORARY_MARK[] = ".tmp.";

std::string KeyValueStore::TemporaryName(const std::string& name)
{
    static std::atomic<unsigned> counter{0};
    char suffix[96];
    snprintf(suffix, sizeof suffix, "%s%ld.%llu.%u", sTEMPORARY_MARK, (long)getpid(),
             sOwnStartTime(), counter++);
    // Cut so the whole name stays well inside a file name's 255 bytes.
    return "." + name.substr(0, 200) + suffix;
}

// Decimal digits up to `stop` (or the end for 0); false when there are none or they overflow.
static bool sNumber(const char*& p, char stop, unsigned long long* value)
{
    if (!isdigit((unsigned char)*p))
        return false;
    errno = 0;
    char* end = nullptr;
    *value = strtoull(p, &end, 10);
    if (errno == ERANGE || *end != stop)
        return false;
    p = stop ? end + 1 : end;
    return true;
}

// The writer of a name as TemporaryName makes it; false for every other name.
static bool sTemporaryWriter(const char* name, long* pid, unsigned long long* start)
{
    if (name[0] != '.')
        return false;
    const char* mark = nullptr;
    for (const char* p = strstr(name + 1, sTEMPORARY_MARK); p; p = strstr(p + 1, sTEMPORARY_MARK))
        mark = p;
    if (!mark || mark == name + 1)
        return false;
    const char* p = mark + strlen(sTEMPORARY_MARK);
    unsigned long long number = 0, count = 0;
    if (!sNumber(p, '.', &number) || !sNumber(p, '.', start) || !sNumber(p, 0, &count))
        return false;
    if (number == 0 || number > (unsigned long long)INT_MAX)  // a pid_t
        return false;
    *pid = (long)number;
    return true;
}

static bool sWriterGone(long pid, unsigned long long start)
{
    if (kill((pid_t)pid, 0) != 0 && errno == ESRCH)
        return true;
    // The number may have been given to another process since: then it started at another
    // time. When either time is unknown the writer counts as running.
    unsigned long long now = sStartTime(pid);
    return now != 0 && start != 0 && now != start;
}

int KeyValueStore::RemoveStaleTemporaries(const char* dir)
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
        long pid = 0;
        unsigned long long start = 0;
        if (!sTemporaryWriter(entry->d_name, &pid, &start) || !sWriterGone(pid, start))
            continue;
        struct stat st;
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (unlinkat(fd, entry->d_name, 0) == 0) {
            Log::log(DEBUG_Attributes, "Attibutes: removed [%s] of a run that is gone\n",
                     entry->d_name);
            removed++;
        }
    }
    closedir(listing);
    return removed;
}

// A new temporary file beside base in dir (named in temp), open for writing; -1 when none
// can be made. Beside the target, so the rename stays on one file system, and named so that a
// later run can tell it from the store's files should this process die before the rename.
static int sCreateTemporary(const std::string& dir, const std::string& base, std::string& temp)
{
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; attempt++) {
        temp = dir + KeyValueStore::TemporaryName(base);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    return fd;
}

// The bytes into the file at temp, closed and synced; aErrNotFound when it cannot be opened,
// aErrIO when a write, the close or the sync fails.
static aErr sWriteSynced(const std::string& temp, const void* data, size_t length)
{
    aErr err = aErrNone;
    aFile* file = aFile_Open(temp.c_str(), aFILE_MODE_WRITE);
    if (!file) {
        err = aErrNotFound;
    } else {
        if (length > 0) {
            u64 count = 0;
            err = aFile_Write(file, data, length, &count);
            if (err == aErrNone && count != length)
                err = aErrIO;
        }
        // The close flushes what stdio still holds: a full disk or a size limit shows here.
        if (aFile_Close(&file) != aErrNone && err == aErrNone)
            err = aErrIO;
    }
    if (err == aErrNone) {
        int sync = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
        if (sync < 0 || fsync(sync) != 0)
            err = aErrIO;
        if (sync >= 0)
            close(sync);
    }
    return err;
}

static aErr sReplaceFile(const char* path, const void* data, size_t length);

aErr KeyValueStore::ReplaceFile(const char* path, const void* data, size_t length)
{
    try {
        return sReplaceFile(path, data, length);
    } catch (const std::bad_alloc&) {
        // Only the names are made on the heap, all before the temporary file exists.
        return aErrMemory;
    }
}

static aErr sReplaceFile(const char* path, const void* data, size_t length)
{
    if (!path || !*path || (!data && length > 0))
        return aErrParam;
    std::string target(path);
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty())
        return aErrParam;

    struct stat st;
    bool keepMode = stat(path, &st) == 0;
    if (keepMode && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return aErrIO;
    }

    // What killed runs left here goes first, or nothing would ever remove it.
    KeyValueStore::RemoveStaleTemporaries(dir.empty() ? "." : dir.c_str());

    std::string temp;
    int fd = sCreateTemporary(dir, base, temp);
    if (fd < 0)
        return aErrNotFound;
    if (keepMode)
        fchmod(fd, st.st_mode & 07777);
    close(fd);
    aErr err = sWriteSynced(temp, data, length);
    if (err == aErrNone && rename(temp.c_str(), path) != 0)
        err = aErrIO;
    if (err != aErrNone) {
        int saved = errno;
        unlink(temp.c_str());
        errno = saved;
    }
    return err;
}
