// The link registry: a list of entries, newest first, under one mutex that is never held
// together with another lock.
#include "aLinkManagerInternal.h"

#include <mutex>
#include <new>

#include "aDebug.h"
#include "qcusb_driver.h"

namespace {

struct aLinkRegistry {
    aLinkEntry* head;
    aLinkId nextId;
    aMutex* mutex;
};

aLinkRegistry _links = {NULL, 1, NULL};
std::once_flag _linksMutexOnce;

// Made on first use and exactly once, even when two threads arrive together.
aMutex* sRegistryMutex()
{
    std::call_once(_linksMutexOnce, [] { _links.mutex = aMutex_Create("aLink_Managed"); });
    return _links.mutex;
}

class sRegistryLock {
public:
    sRegistryLock() : mMutex(sRegistryMutex()) { aMutex_Lock(mMutex); }
    ~sRegistryLock() { aMutex_Unlock(mMutex); }
    sRegistryLock(const sRegistryLock&) = delete;
    sRegistryLock& operator=(const sRegistryLock&) = delete;

private:
    aMutex* mMutex;
};

// Callers hold the registry lock. Traces print under it: stdio's own lock is taken last and
// never waits for the registry, so that cannot deadlock.
aLinkEntry* _findByID(aLinkId id)
{
    for (aLinkEntry* entry = _links.head; entry; entry = entry->next)
        if (entry->id == id)
            return entry;
    return NULL;
}

aLinkEntry* _findByIdentifier(u32 identifier)
{
    for (aLinkEntry* entry = _links.head; entry; entry = entry->next)
        if (entry->identifier == identifier)
            return entry;
    return NULL;
}

aLinkEntry* _unlink(aLinkId id)
{
    for (aLinkEntry** at = &_links.head; *at; at = &(*at)->next) {
        if ((*at)->id == id) {
            aLinkEntry* entry = *at;
            *at = entry->next;
            entry->next = NULL;
            if (!_links.head)
                aTRACE(aDEBUG_LINK, "NO MORE LINKS\n");
            return entry;
        }
    }
    return NULL;
}

s16 _addUses(aLinkEntry* entry, int delta)
{
    entry->useCount = (s16)(u16)((u16)entry->useCount + (u16)delta);
    aTRACE(aDEBUG_LINK, " sChangeUseCount(%d, %+d) ==> %d\n", (int)entry->id, delta,
           (int)entry->useCount);
    return entry->useCount;
}

} // namespace

aLinkId sCreate(u32 identifier, u32 port, int type)
{
    return sCreate2(identifier, port, 0, type);
}

aLinkId sCreate2(u32 identifier, u32 port, int clientIndex, int type)
{
    return sCreate3(identifier, port, clientIndex, type, NULL);
}

aLinkId sCreate3(u32 identifier, u32 port, int clientIndex, int type, const aUSBPortPath* path)
{
    aLinkEntry* entry = new (std::nothrow) aLinkEntry();
    aLink* link = new (std::nothrow) aLink();
    if (!entry || !link) {
        delete entry;
        delete link;
        return 0;
    }
    link->wakeFd = -1;
    entry->identifier = identifier;
    entry->port = port;
    entry->clientIndex = clientIndex;
    entry->type = type;
    entry->link = link;
    if (path)
        entry->usbPath = *path;
    sRegistryLock lock;
    entry->id = _links.nextId++;
    link->id = entry->id;
    entry->next = _links.head;
    _links.head = entry;
    aTRACE(aDEBUG_LINK, " sCreate2(%08X)==>%d\n", identifier, (int)entry->id);
    return entry->id;
}

aLinkEntry* sLookupEntryByID(aLinkId id)
{
    sRegistryLock lock;
    return _findByID(id);
}

aLinkEntry* sLookupEntryByIdentifier(u32 identifier)
{
    sRegistryLock lock;
    return _findByIdentifier(identifier);
}

aLinkEntry* sLookupEntryByTrident(u32 identifier, u32 port, int clientIndex)
{
    sRegistryLock lock;
    for (aLinkEntry* entry = _links.head; entry; entry = entry->next)
        if (entry->identifier == identifier && entry->port == port
            && entry->clientIndex == clientIndex)
            return entry;
    return NULL;
}

aLinkEntry* sExtractEntry(aLinkId id)
{
    sRegistryLock lock;
    return _unlink(id);
}

s16 sChangeUseCount(aLinkEntry* entry, int delta)
{
    if (!entry)
        return 0;
    sRegistryLock lock;
    return _addUses(entry, delta);
}

aLink* sGetLink(aLinkId id)
{
    sRegistryLock lock;
    aLinkEntry* entry = _findByID(id);
    return entry ? entry->link : NULL;
}

aLinkEntry* sLookupAndUseByIdentifier(u32 identifier, bool refuseServed, bool* served)
{
    sRegistryLock lock;
    aLinkEntry* entry = _findByIdentifier(identifier);
    if (served)
        *served = entry && entry->server;
    if (!entry || (refuseServed && entry->server))
        return NULL;
    _addUses(entry, 1);
    return entry;
}

aLinkEntry* sLookupAndUseUSBAt(u32 identifier, const aUSBPortPath* path, bool* served)
{
    sRegistryLock lock;
    aLinkEntry* newest = _findByIdentifier(identifier);
    *served = newest && newest->server;
    if (*served)
        return NULL;
    for (aLinkEntry* entry = _links.head; entry; entry = entry->next)
        if (entry->identifier == identifier && entry->type == aLINKTYPE_USB
            && qcusb_same_port_path(&entry->usbPath, path)) {
            _addUses(entry, 1);
            return entry;
        }
    return NULL;
}

aLinkEntry* sLookupAndUseByID(aLinkId id)
{
    sRegistryLock lock;
    aLinkEntry* entry = _findByID(id);
    if (entry)
        _addUses(entry, 1);
    return entry;
}

aLinkEntry* sReleaseUse(aLinkId id, bool* last)
{
    *last = false;
    sRegistryLock lock;
    aLinkEntry* entry = _findByID(id);
    if (!entry)
        return NULL;
    // A link that failed while being made is released from 0 uses, hence "0 or less".
    if (_addUses(entry, -1) <= 0) {
        _unlink(id);
        *last = true;
    }
    return entry;
}

bool sAttachServer(aLinkId id, aServer* server)
{
    sRegistryLock lock;
    aLinkEntry* entry = _findByID(id);
    // Never over another server: two creating calls for one device may both get this far,
    // and the replaced server would run on with no owner to stop it.
    if (!entry || entry->server)
        return false;
    entry->server = server;
    return true;
}

void sFreeEntry(aLinkEntry* entry)
{
    if (!entry)
        return;
    if (entry->link) {
        entry->link->check = 0;
        delete entry->link;
    }
    delete entry;
}
