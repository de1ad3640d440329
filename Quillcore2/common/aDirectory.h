// Directories: test, create with ancestors, list, home directory, joining path parts.
#ifndef _aDirectory_H_
#define _aDirectory_H_

#include "aDefs.h"
#include "aError.h"

#define aDIR_PATH_SEP "/"

typedef struct {
    const char* path;   // directory and entry name joined; valid during the call only
    u32 size;           // size in bytes, cut to 32 bits
    u32 isDirectory;    // 1 for a directory
} aDirectoryListData;

// Returning false stops the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* ref);

bool aDirectory_Exists(const char* path);
aErr aDirectory_Ensure(const char* path, u16 mode);
// Calls proc once per entry ("." and ".." included) with its status, links followed; an entry
// whose status cannot be read (a dangling link) is skipped. aErrNotFound when the directory
// cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
// Joins up to 10 parts (list ended by NULL) with "/" where neither side has one.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* a, const char* b);
const char* backwards_memcmp(const char* text, const char* pattern);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

#endif
