// A checked file handle over stdio.
#include "aFile.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define aFILE_CHECK 0xFEEDu
#define aVALIDFILE(f) ((f) != NULL && (f)->check == aFILE_CHECK)

namespace {
enum LastOp { kOpNone, kOpRead, kOpWrite };
}

struct aFile {
    FILE* fp;
    int mode;
    u32 check;
    // An update stream must be positioned between a write and a read (and back), so the
    // append mode remembers which came last.
    int lastOp;
};

static bool sPathFits(const char* path)
{
    return strnlen(path, aFILE_MAXPATH + 1) <= aFILE_MAXPATH;
}

static bool sCanRead(const aFile* f) { return f->mode != aFILE_MODE_WRITE; }
static bool sCanWrite(const aFile* f) { return f->mode != aFILE_MODE_READ; }

static void sSwitchTo(aFile* f, int op)
{
    if (f->lastOp != kOpNone && f->lastOp != op)
        fseeko(f->fp, 0, SEEK_CUR);
    f->lastOp = op;
}

aFile* aFile_Open(const char* path, int mode)
{
    if (!path || !path[0] || !sPathFits(path))
        return NULL;
    const char* how;
    switch (mode) {
    case aFILE_MODE_READ: how = "rb"; break;
    case aFILE_MODE_WRITE: how = "wb"; break;
    case aFILE_MODE_APPEND: how = "ab+"; break;
    default: return NULL;
    }
    aFile* f = (aFile*)calloc(1, sizeof(aFile));
    if (!f)
        return NULL;
    f->fp = fopen(path, how);
    if (!f->fp) {
        free(f);
        return NULL;
    }
    if (mode == aFILE_MODE_APPEND && fseeko(f->fp, 0, SEEK_END) != 0) {
        fclose(f->fp);
        free(f);
        return NULL;
    }
    f->mode = mode;
    f->check = aFILE_CHECK;
    f->lastOp = kOpNone;
    return f;
}

aErr aFile_Close(aFile** file)
{
    if (!file)
        return aErrParam;
    aFile* f = *file;
    *file = NULL;
    if (!aVALIDFILE(f))
        return aErrParam;
    // Buffered data reaches the file only here, so a failed close is lost data.
    aErr result = fclose(f->fp) == 0 ? aErrNone : aErrIO;
    f->check = 0;
    f->fp = NULL;
    free(f);
    return result;
}

aErr aFile_Read(aFile* file, void* buffer, size_t n, u64* count)
{
    if (count)
        *count = 0;
    if (!aVALIDFILE(file))
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    if (!buffer)
        return aErrParam;
    sSwitchTo(file, kOpRead);
    size_t got = fread(buffer, 1, n, file->fp);
    if (count)
        *count = got;
    if (n > 0 && got == 0)
        return aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, size_t n, u64* count)
{
    if (count)
        *count = 0;
    if (!aVALIDFILE(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    if (!data)
        return aErrParam;
    sSwitchTo(file, kOpWrite);
    size_t put = fwrite(data, 1, n, file->fp);
    if (count)
        *count = put;
    return put < n ? aErrIO : aErrNone;
}

// The file's size, counting what still waits in the stream's buffer; the position stays.
static aErr sSize(aFile* file, off_t* size)
{
    off_t here = ftello(file->fp);
    if (here < 0)
        return aErrIO;
    if (fseeko(file->fp, 0, SEEK_END) != 0)
        return aErrIO;
    off_t end = ftello(file->fp);
    if (fseeko(file->fp, here, SEEK_SET) != 0 || end < 0)
        return aErrIO;
    *size = end;
    return aErrNone;
}

aErr aFile_Seek(aFile* file, s64 offset, int origin)
{
    if (!aVALIDFILE(file))
        return aErrParam;
    off_t size = 0;
    if (sSize(file, &size) != aErrNone)
        return aErrIO;
    s64 base = 0;
    if (origin == 1) {
        off_t here = ftello(file->fp);
        if (here < 0)
            return aErrIO;
        base = here;
    } else if (origin == 2) {
        base = size;
    }
    s64 target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > (s64)size)
        return aErrRange;
    if (fseeko(file->fp, (off_t)target, SEEK_SET) != 0)
        return aErrIO;
    file->lastOp = kOpNone;
    return aErrNone;
}

aErr aFile_GetSize(aFile* file, u64* size)
{
    if (!aVALIDFILE(file))
        return aErrParam;
    if (!size)
        return aErrParam;
    off_t end = 0;
    if (sSize(file, &end) != aErrNone) {
        *size = 0;
        return aErrIO;
    }
    *size = (u64)end;
    return aErrNone;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, u64* length)
{
    if (length)
        *length = 0;
    if (buffer && size > 0)
        buffer[0] = '\0';
    if (!aVALIDFILE(file))
        return aErrParam;
    if (file->mode == aFILE_MODE_WRITE)
        return aErrMode;
    // Below two bytes no character fits and a reader would loop for ever.
    if (!buffer || size < 2)
        return aErrParam;
    int limit = size > (size_t)INT_MAX ? INT_MAX : (int)size;
    sSwitchTo(file, kOpRead);
    if (!fgets(buffer, limit, file->fp)) {
        buffer[0] = '\0';
        return feof(file->fp) ? aErrEOF : aErrIO;
    }
    size_t got = strlen(buffer);
    if (length)
        *length = got;
    if (got + 1 == (size_t)limit && buffer[got - 1] != '\n') {
        // A full buffer without newline is a cut line, unless the file ends right here.
        int next = getc(file->fp);
        if (next == EOF)
            return feof(file->fp) ? aErrNone : aErrIO;
        ungetc(next, file->fp);
        return aErrOverrun;
    }
    return aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...)
{
    if (!aVALIDFILE(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    if (!format)
        return aErrParam;
    sSwitchTo(file, kOpWrite);
    va_list args;
    va_start(args, format);
    int written = vfprintf(file->fp, format, args);
    va_end(args);
    return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file)
{
    if (!aVALIDFILE(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    return setvbuf(file->fp, NULL, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

bool aFile_Exists(const char* path)
{
    if (!path || !sPathFits(path))
        return false;
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aErr aFile_Delete(const char* path)
{
    if (!path)
        return aErrParam;
    if (!sPathFits(path))
        return aErrFileNameLength;
    if (unlink(path) == 0)
        return aErrNone;
    switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
    }
}

aErr aFile_GetPosition(aFile* file, s64* position)
{
    if (!aVALIDFILE(file))
        return aErrParam;
    if (!position)
        return aErrParam;
    off_t here = ftello(file->fp);
    if (here < 0)
        return aErrIO;
    *position = here;
    return aErrNone;
}
