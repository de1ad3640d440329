// Guard of CZMQ's process-wide beacon interface value (zsys_interface): whoever creates a
// zbeacon actor sets the value under one lock first, so a server starting its beacon and a
// client searching in the same process do not move each other's beacon.
//
// Valid interface texts: a dotted IPv4 address, "" or "*". Every true result of a set call is
// followed, on the same thread, by its release; a false result takes no lock.
#ifndef _zBeaconInterface_H_
#define _zBeaconInterface_H_

#include <string>

// CZMQ makes its process-wide context on first use, and two first uses at once are not safe:
// a socket made while another thread's first use is still reading its settings aborts the
// process. Every entry of the library into CZMQ calls this first; it returns once the context
// is whole, also to a thread that waited for another's.
void zBeaconInterface_initContext(void);

// Locks, then sets the value; false (nothing locked) for an invalid text.
bool zBeaconInterface_setAndLock(const char* networkInterface);
void zBeaconInterface_unlock(void);
// Locks, saves the current value, sets the new one; false (nothing locked) for invalid text.
bool zBeaconInterface_backupSetAndLock(const char* networkInterface);
// Puts the saved value back and unlocks.
void zBeaconInterface_restoreAndUnlock(void);
std::string zBeaconInterface_get(void);
std::string zBeaconInterface_getAndLock(void);
std::string zBeaconInterface_getBackup(void);
std::string zBeaconInterface_getBackupAndLock(void);

#endif
