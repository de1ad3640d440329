// Attribute files: reading and writing key=value lines, typed getters and setters.
#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include <sys/stat.h>

#include "AtomicFile.h"
#include "Log.h"
#include "aFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";
const size_t KeyValueStore::MAX_LINE;
const unsigned int KeyValueStore::LOCK_WAIT_MS;

KeyValueStore::KeyValueStore(const char* path) : dirty(false), reason(0), lockWaitMs(LOCK_WAIT_MS)
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
    aErr result = _read(path);
    if (result != aErrNotFound)
        return result;
    try {
        return _create(path);
    } catch (const std::bad_alloc&) {
        // The lock's name or the stamp could not be made: nothing was written.
        reason = ENOMEM;
        return aErrMemory;
    }
}

aErr KeyValueStore::_read(const char* path)
{
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
        reason = openErrno;
        if (exists || openErrno != ENOENT) {
            // It is there (or its folder cannot be searched): making a new one would throw
            // away whatever it holds.
            _mark_unreadable(path);
            return aErrIO;
        }
        return aErrNotFound;
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
    reason = result == aErrNone ? 0 : result == aErrMemory ? ENOMEM : EIO;
    if (result != aErrNone)
        _mark_unreadable(path);
    else if (unreadable == path)
        unreadable.clear();
    return result;
}

aErr KeyValueStore::_create(const char* path)
{
    try {
        Add(KEY_CREATED_TIME, TimeStamp().c_str());
    } catch (const std::bad_alloc&) {
        // No stamp: the file is made without it.
    }
    // Two runs that both find the file missing must not both make it: the later one would
    // replace what the earlier one recorded in between.
    FileLock lock;
    aErr err = lock.Take(LockPath(path), lockWaitMs);
    if (err != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error (%d) - no lock for '%s'\n", err, path);
        filename = path;
        // As a save that failed would: the stamps stay in memory, unsaved.
        Add(KEY_UPDATED_TIME, TimeStamp().c_str());
        reason = lock.Reason();
        return err;
    }
    err = _read(path);
    if (err != aErrNotFound)
        return err;
    return _save(path);
}

std::string KeyValueStore::LockPath(const std::string& path)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + (base.empty() || base[0] != '.' ? "." : "") + base + ".lock";
}

aErr KeyValueStore::Record(const std::map<std::string, std::string>& entries)
{
    try {
        if (filename.empty()) {
            Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, not saved\n");
            return aErrParam;
        }
        const std::string path = filename;
        FileLock lock;
        aErr err = lock.Take(LockPath(path), lockWaitMs);
        if (err != aErrNone) {
            Log::log(DEBUG_Attributes, "Attibutes: Error (%d) - no lock for '%s'\n", err,
                     path.c_str());
            reason = lock.Reason();
            return err;
        }
        // What other runs saved since this one read the file is read again, under the lock.
        err = _read(path.c_str());
        if (err == aErrNotFound) {
            // Removed since: made anew, as a first Load would.
            filename = path;
            if (!(*this)[KEY_CREATED_TIME])
                Add(KEY_CREATED_TIME, TimeStamp().c_str());
        } else if (err != aErrNone) {
            return err;
        }
        for (const auto& entry : entries)
            if (!Add(entry.first.c_str(), entry.second)) {
                reason = EINVAL;
                return aErrParam;
            }
        return _save(path.c_str());
    } catch (const std::bad_alloc&) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - out of memory recording attributes\n");
        reason = ENOMEM;
        return aErrMemory;
    }
}

std::string KeyValueStore::ReasonText(aErr err) const
{
    if (err != aErrTimeout)
        return AtomicFile::ReasonText(err, reason);
    char text[64];
    if (lockWaitMs % 1000 == 0)
        snprintf(text, sizeof text, "%u s", lockWaitMs / 1000);
    else
        snprintf(text, sizeof text, "%u ms", lockWaitMs);
    return std::string("Timed out after ") + text + " waiting for the lock [" + LockPath(filename) +
           "], held by another run";
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
        reason = ENOMEM;
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
        reason = EINVAL;
        return aErrParam;
    }
    if (!unreadable.empty() && filename == unreadable) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - '%s' could not be read, it is not overwritten\n",
                 filename.c_str());
        // reason stays the one its reading gave.
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
    aErr err = AtomicFile::Replace(filename.c_str(), text.data(), text.size(), &reason);
    if (err != aErrNone) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), reason);
        return err;
    }
    dirty = false;
    reason = 0;
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
