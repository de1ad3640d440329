// The firmware store: device directories, their attribute files and images.
#include "UpdaterStore.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <sys/stat.h>

#include "AtomicFile.h"
#include "Log.h"
#include "path.h"

// A single path component: anything else would leave the store's tree.
static bool _plain_name(const char* name)
{
    return name && *name && !strchr(name, '/') && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

static void _ensure_directory(const char* path)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        aErr err = aDirectory_Ensure(path, 0755);
        if (err != aErrNone)
            throw std::runtime_error(std::string("UpdaterStore: Could not create directory ") +
                                     path + " error " + std::to_string(err));
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path);
    } else if (!S_ISDIR(st.st_mode)) {
        throw std::runtime_error(std::string("UpdaterStore: ") + path + " exists and is a file");
    } else {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path);
    }
}

// Splits a listed entry's full path at its last "/".
static void _split(const char* full, std::string& dir, std::string& name)
{
    const char* slash = strrchr(full, '/');
    if (!slash) {
        dir.clear();
        name = full;
    } else {
        dir.assign(full, slash);
        name = slash + 1;
    }
}

static bool _find_item(const aDirectoryListData* entry, void* ref)
{
    result_t* result = static_cast<result_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             int(entry->isDirectory), int(entry->size), result->name.c_str());
    std::string dir, name;
    _split(entry->path, dir, name);
    if (name == "." || name == "..")
        return true;
    // The whole entry name and its kind: "40F5849A.old" or a base path holding the digits
    // must not pass for the device.
    if (name != result->name || (entry->isDirectory != 0) != result->directory)
        return true;
    if (result->item) {
        // Made aside and moved in: should loading its attributes run out of memory, the
        // listing swallows the exception, and a half-made entry must not pass for the device
        // (an empty one names the root folder).
        UpdaterStoreItem item(dir.c_str(), name.c_str(),
                              entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
        *result->item = std::move(item);
    }
    result->found = true;
    return false;
}

static bool _find_items(const aDirectoryListData* entry, void* ref)
{
    auto* builds = static_cast<std::vector<UpdaterStoreItem>*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
             int(entry->isDirectory), int(entry->size));
    std::string dir, name;
    _split(entry->path, dir, name);
    if (name.empty() || name[0] == '.')
        return true;
    // A listing reads: a folder among the images gets no attributes loaded, as loading would
    // create a ".settings" in it (and, through a link, anywhere).
    UpdaterStoreItem item;
    item.path = dir;
    item.name = name;
    item.type = entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
    builds->push_back(item);
    return true;
}

static std::string _serial_name(unsigned int serial)
{
    char name[9];
    snprintf(name, sizeof name, "%08X", serial);
    return name;
}

// ---- UpdaterStoreItem

UpdaterStoreItem::UpdaterStoreItem() : type(STORE_ITEM_UNSET) {}

UpdaterStoreItem::UpdaterStoreItem(const char* p, const char* n, store_item_t t)
    : path(p ? p : ""), name(n ? n : ""), type(t)
{
    if (type != STORE_ITEM_FILE && IsValid())
        attributes.Load(
            BuildPath(path.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
}

bool UpdaterStoreItem::IsValid() const
{
    return !path.empty() && !name.empty();
}

aErr UpdaterStoreItem::WriteFile(const char* file, const unsigned char* data, unsigned long length,
                                 int* reason)
{
    if (reason)
        *reason = 0;
    if (!data)
        return aErrNotFound;
    if (!IsValid() || !_plain_name(file))
        return aErrParam;
    std::string target = BuildPath(path.c_str(), name.c_str(), file, nullptr);
    aErr err = AtomicFile::Replace(target.c_str(), data, length, reason);
    if (err != aErrNone)
        Log::log(DEBUG_Updater, "UpdaterStore: Error (%d) writing [%s].\n", err, target.c_str());
    return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file)
{
    std::string target = BuildPath(path.c_str(), name.c_str(), file ? file : "", nullptr);
    // An empty item names no folder of the store: its path would be one under the root.
    if (!IsValid() || !_plain_name(file) || !BirdFile::VerifyFile(target.c_str()))
        throw std::runtime_error("Invalid bird " + target);
    return BirdFile(target.c_str());
}

bool UpdaterStoreItem::FileExists(const char* file)
{
    if (!file)
        return false;
    result_t result{false, file, nullptr, false};
    aDirectory_List(BuildPath(path.c_str(), name.c_str(), nullptr).c_str(), _find_item,
                    &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", file);
    return result.found;
}

// ---- UpdaterStore

UpdaterStore::UpdaterStore(const char* base) : basePath(base ? base : "")
{
    if (basePath.empty())
        throw std::runtime_error("UpdaterStore: Could not create directory  error " +
                                 std::to_string(aErrParam));
    _ensure_directory(basePath.c_str());
}

const char* UpdaterStore::BasePath() const
{
    return basePath.c_str();
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned int serial)
{
    return AddDevice(_serial_name(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name)
{
    if (!_plain_name(name))
        throw std::runtime_error(std::string("UpdaterStore: invalid device name [") +
                                 (name ? name : "") + "]");
    _ensure_directory(BuildPath(basePath.c_str(), name, nullptr).c_str());
    return UpdaterStoreItem(basePath.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned int serial, UpdaterStoreItem* item)
{
    return FindDevice(_serial_name(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item)
{
    if (!name)
        return false;
    result_t result{false, name, item, true};
    aDirectory_List(basePath.c_str(), _find_item, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", name);
    return result.found;
}

bool UpdaterStore::FindLocalBuilds(unsigned int serial, std::vector<UpdaterStoreItem>& builds)
{
    UpdaterStoreItem device;
    if (FindDevice(serial, &device) && device.IsValid())
        aDirectory_List(BuildPath(device.path.c_str(), device.name.c_str(), nullptr).c_str(),
                        _find_items, &builds);
    return true;
}
