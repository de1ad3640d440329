// Attribute files: key=value lines kept per device in the store, as an ordered map in memory.
#ifndef _KeyValueStore_H_
#define _KeyValueStore_H_

#include <cstddef>
#include <map>
#include <string>

#include "aError.h"

class KeyValueStore {
public:
    static const char* const DEFAULT_FILENAME;   // ".settings"
    static const char* const KEY_CREATED_TIME;   // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME;   // "UPDATED_TIME"
    // Longest line the reader takes (its newline included); longer values are refused.
    static const size_t MAX_LINE = 2047;

    // An empty store; loads path when it is not null.
    explicit KeyValueStore(const char* path = nullptr);
    KeyValueStore(const KeyValueStore& other);
    KeyValueStore& operator=(const KeyValueStore& other);
    KeyValueStore(KeyValueStore&& other) noexcept;
    KeyValueStore& operator=(KeyValueStore&& other) noexcept;
    ~KeyValueStore();

    // Reads path's entries over the ones in memory (none are removed). A file that does not
    // exist is created with CREATED_TIME and UPDATED_TIME (the result is that save's). One
    // that exists but cannot be read is an error (aErrIO, aErrMemory when memory ran out
    // part of the way): it is never overwritten by a later Save to the same path.
    aErr Load(const char* path);
    // Writes every entry as "key=value" in key order to path (null: the loaded path), through
    // a temporary file renamed over the old one; stamps UPDATED_TIME when dirty. On failure
    // the old file stays, dirty stays set and the error is returned (aErrParam without any
    // path, aErrNotFound when no file can be made, aErrIO when a write or the rename fails,
    // aErrMemory when the text cannot be made). No exception leaves Load, Save or a setter.
    aErr Save(const char* path = nullptr);

    // The value when key exists (also when empty), else def, else "".
    std::string GetString(const char* key, const char* def) const;
    // The leading decimal number of the value (0 when none); def when the value is empty or
    // its number fits neither an int nor 32 unsigned bits (from INT_MAX + 1 to UINT_MAX the
    // int with the same bits, so a build number cast back to unsigned keeps its value). A
    // missing key is entered with an empty value.
    int GetInt(const char* key, int def);
    unsigned int GetHex(const char* key, unsigned int def);
    bool GetBOOL(const char* key, bool def);
    double GetDouble(const char* key, double def);
    // The value's text, or null when key is missing.
    const char* operator[](const char* key) const;

    // Setters: true when stored. dirty goes true only when the text changes. A key that is
    // empty or holds '=', CR or LF, a value holding CR or LF, and a line longer than MAX_LINE
    // are refused (false, nothing changed): they would not read back.
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool AddHex(const char* key, unsigned int value);
    bool Add(const KeyValueStore& other);
    void Clear();

    // The current local time as ctime's text without its newline ("Wed Dec  9 03:20:00 2026").
    static std::string TimeStamp();

    // Replaces the file at path with the bytes: written to a temporary file in the same
    // directory (every write and the close checked, then synced) and renamed over the old
    // one, whose permission bits it keeps. On any failure the old file is untouched and the
    // temporary removed. aErrParam for a null path or data, aErrNotFound when the temporary
    // cannot be made, aErrIO when writing, closing or renaming fails.
    // Before it makes its own temporary it removes those of the target's directory whose
    // writing process is gone (see RemoveStaleTemporaries).
    static aErr ReplaceFile(const char* path, const void* data, size_t length);

    // A name for a temporary file of this process beside a file called name:
    // "." + name + ".tmp." + pid + "." + start + "." + count, start being the process's start
    // time (clock ticks since boot). The leading dot keeps it out of store listings; pid and
    // start let a later run tell whether its writer is still running.
    static std::string TemporaryName(const std::string& name);
    // Removes the regular files of dir named as TemporaryName names them whose writer is gone:
    // no process has that pid, or the one that has it started at another time. A temporary of
    // a running process, and any other file, stays. The number removed.
    static int RemoveStaleTemporaries(const char* dir);

    std::string filename;
    std::map<std::string, std::string> values;
    bool dirty;

private:
    bool _set(const char* key, const char* value, size_t length);
    std::string* _entry(const char* key);
    aErr _save(const char* path);
    // filename and unreadable set to path (filename cleared when even that cannot be had).
    void _mark_unreadable(const char* path) noexcept;
    // Path of an existing file that could not be read: Save must not replace it.
    std::string unreadable;
};

#endif
