// A checked file handle over stdio.
#ifndef _aFile_H_
#define _aFile_H_

#include "aDefs.h"
#include "aError.h"

#define aFILE_MODE_READ 0
#define aFILE_MODE_WRITE 1
#define aFILE_MODE_APPEND 2
#define aFILE_MAXPATH 4096

typedef struct aFile aFile;

// NULL on any failure (bad path or mode, no memory, cannot open).
aFile* aFile_Open(const char* path, int mode);
// aErrIO when fclose fails; the handle is freed and *file set to NULL either way.
aErr aFile_Close(aFile** file);
aErr aFile_Read(aFile* file, void* buffer, size_t n, u64* count);
aErr aFile_Write(aFile* file, const void* data, size_t n, u64* count);
aErr aFile_Seek(aFile* file, s64 offset, int origin);
aErr aFile_GetSize(aFile* file, u64* size);
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, u64* length);
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
aErr aFile_SetUnbuffered(aFile* file);
bool aFile_Exists(const char* path);
aErr aFile_Delete(const char* path);
aErr aFile_GetPosition(aFile* file, s64* position);

#endif
