// Guard of CZMQ's process-wide beacon interface value.
#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <mutex>
#include <string.h>

#define _BACKUP_CAPACITY 100

// Made before main and alive for the whole process; never held with another library lock.
static std::mutex _interfaceLock;
static std::string _backupInterface;

static bool _validInterface(const char* text)
{
    if (!text)
        return false;
    if (text[0] == '\0' || strcmp(text, "*") == 0)
        return true;
    struct in_addr address;
    return inet_pton(AF_INET, text, &address) == 1;
}

void zBeaconInterface_initContext(void)
{
    static std::once_flag made;
    std::call_once(made, [] { zsys_init(); });
}

static void _reserveBackup(void)
{
    if (_backupInterface.capacity() < _BACKUP_CAPACITY)
        _backupInterface.reserve(_BACKUP_CAPACITY);
}

bool zBeaconInterface_setAndLock(const char* networkInterface)
{
    zBeaconInterface_initContext();
    if (!_validInterface(networkInterface))
        return false;
    _interfaceLock.lock();
    zsys_set_interface(networkInterface);
    return true;
}

void zBeaconInterface_unlock(void)
{
    _interfaceLock.unlock();
}

bool zBeaconInterface_backupSetAndLock(const char* networkInterface)
{
    zBeaconInterface_initContext();
    if (!_validInterface(networkInterface))
        return false;
    _interfaceLock.lock();
    _reserveBackup();
    const char* current = zsys_interface();
    _backupInterface = current ? current : "";
    zsys_set_interface(networkInterface);
    return true;
}

void zBeaconInterface_restoreAndUnlock(void)
{
    zsys_set_interface(_backupInterface.c_str());
    _interfaceLock.unlock();
}

std::string zBeaconInterface_get(void)
{
    zBeaconInterface_initContext();
    const char* current = zsys_interface();
    return current ? current : "";
}

std::string zBeaconInterface_getAndLock(void)
{
    _interfaceLock.lock();
    return zBeaconInterface_get();
}

std::string zBeaconInterface_getBackup(void)
{
    _reserveBackup();
    return _backupInterface;
}

std::string zBeaconInterface_getBackupAndLock(void)
{
    _reserveBackup();
    _interfaceLock.lock();
    return _backupInterface;
}
