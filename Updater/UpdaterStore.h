// The firmware store: <base>/<serial as %08X>/ per device, holding ".settings" and the
// images "<build>.bird". UpdaterStore finds, makes and lists device directories;
// UpdaterStoreItem is one entry (a device directory or a file in one) with its attributes.
#ifndef _UpdaterStore_H_
#define _UpdaterStore_H_

#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aDirectory.h"
#include "aError.h"

enum store_item_t : unsigned char {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_UNSET = 2,
};

class UpdaterStoreItem {
public:
    // Empty: no path, no name, STORE_ITEM_UNSET; touches no file.
    UpdaterStoreItem();
    // Loads the attributes of a directory entry from path/name/.settings, creating that file
    // when it does not exist. A file entry has no attributes and loads none.
    UpdaterStoreItem(const char* path, const char* name, store_item_t type);
    UpdaterStoreItem(const UpdaterStoreItem&) = default;
    UpdaterStoreItem& operator=(const UpdaterStoreItem&) = default;
    UpdaterStoreItem(UpdaterStoreItem&&) noexcept = default;
    UpdaterStoreItem& operator=(UpdaterStoreItem&&) noexcept = default;
    ~UpdaterStoreItem() = default;

    // path and name both set.
    bool IsValid() const;

    // Replaces path/name/file with the bytes (through a temporary file and a rename, so a
    // failed write leaves the old file). aErrNotFound for null data or a file that cannot be
    // made; aErrParam for an empty item or a file name that is empty, "." or ".." or holds
    // "/"; aErrIO when writing or renaming fails. *reason, when given, gets the system's
    // error number of a failure (0 when it has none).
    aErr WriteFile(const char* file, const unsigned char* data, unsigned long length,
                   int* reason = nullptr);

    // The image path/name/file. Throws std::runtime_error "Invalid bird <path>" when the file
    // fails BirdFile::VerifyFile (or its name is empty or holds "/"), and
    // "Failed to load bird data" when it does not load.
    BirdFile ReadBirdFile(const char* file);

    // Whether the item's directory holds a file of that name (logged as a lookup).
    bool FileExists(const char* file);

    std::string path;         // the directory holding the entry (for a device: the base)
    std::string name;         // the entry's own name (for a device: the 8 hex digits)
    store_item_t type;
    KeyValueStore attributes;
};

// The state of one lookup over a directory listing.
struct result_t {
    bool found;
    std::string name;         // the entry name searched for (matched whole)
    UpdaterStoreItem* item;   // filled on a match when not null
    bool directory;           // match directories (devices), else files
};

class UpdaterStore {
public:
    // Makes base (with its parents, mode 0755) when missing. Throws std::runtime_error
    // "UpdaterStore: Could not create directory <base> error <code>" or
    // "UpdaterStore: <base> exists and is a file".
    explicit UpdaterStore(const char* base);

    const char* BasePath() const;

    // The device's directory (made when missing, throwing as the constructor does) as an item
    // with its attributes, ".settings" created when missing. A name that is empty, "." or
    // ".." or holds "/" throws std::runtime_error.
    UpdaterStoreItem AddDevice(unsigned int serial);
    UpdaterStoreItem AddDevice(const char* name);

    // True when the base holds a directory named exactly "%08X" of serial (or name); then
    // item, when not null, is that directory with its attributes. Else item is unchanged.
    bool FindDevice(unsigned int serial, UpdaterStoreItem* item);
    bool FindDevice(const char* name, UpdaterStoreItem* item);

    // Appends an item per visible entry (name not beginning with '.') of the device's
    // directory, in listing order, without attributes (nothing is written); nothing when the
    // device has none. Always true.
    bool FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& builds);

    std::string basePath;
};

#endif
