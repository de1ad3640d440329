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
    // exist is created with CREATED_TIME and UPDATED_TIME (the result is that save's), under
    // the file's lock (aErrTimeout when it is not had within lockWaitMs, nothing made; the
    // file another run made meanwhile is read instead). One that exists but cannot be read is
    // an error (aErrIO, aErrMemory when memory ran out part of the way): it is never
    // overwritten by a later Save or Record to the same path.
    aErr Load(const char* path);
    // Writes every entry as "key=value" in key order to path (null: the loaded path), through
    // a temporary file renamed over the old one; stamps UPDATED_TIME when dirty. On failure
    // the old file stays, dirty stays set and the error is returned (aErrParam without any
    // path, aErrNotFound when no file can be made, aErrIO when a write or the rename fails,
    // aErrMemory when the text cannot be made). No exception leaves Load, Save, Record or a
    // setter. Save takes no lock: it writes what is in memory, so a change of a file that
    // other runs write too goes through Record.
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

    // How long Record and a Load that makes a missing file wait for the file's lock.
    static const unsigned int LOCK_WAIT_MS = 10000;
    // The lock file of the attributes file at path, beside it: ".settings.lock" for
    // ".settings" (a dot-name, so no store listing shows it).
    static std::string LockPath(const std::string& path);

    // Sets the entries in the file at filename as one change that no other run's change of
    // the file can come between: under the file's lock (LockPath) the file is read again over
    // the entries in memory (what other runs saved meanwhile is kept; a missing file is made
    // anew with CREATED_TIME), the entries are set and the file saved. Nothing is written
    // when any step fails: aErrTimeout when the lock is not had within lockWaitMs, aErrParam
    // without a filename or for an entry a setter refuses, else as Load and Save.
    aErr Record(const std::map<std::string, std::string>& entries);

    // The text for a user of the failure err of the last Load, Save or Record: the lock's
    // time-out with the lock file named, else the system's reason.
    std::string ReasonText(aErr err) const;

    std::string filename;
    std::map<std::string, std::string> values;
    bool dirty;
    // The system's error number of the last failed Load, Save or Record (0 when it has none).
    int reason;
    // The bound of the lock's wait (LOCK_WAIT_MS; tests shorten it).
    unsigned int lockWaitMs;

private:
    bool _set(const char* key, const char* value, size_t length);
    std::string* _entry(const char* key);
    aErr _save(const char* path);
    // The reading part of Load; aErrNotFound, with nothing changed, when path does not exist.
    aErr _read(const char* path);
    // Makes the missing file at path under its lock (read instead when another run made it).
    aErr _create(const char* path);
    // filename and unreadable set to path (filename cleared when even that cannot be had).
    void _mark_unreadable(const char* path) noexcept;
    // Path of an existing file that could not be read: Save must not replace it.
    std::string unreadable;
};

#endif
