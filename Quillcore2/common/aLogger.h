// A writer thread that calls one callback over and over with an open log file; the callback
// does all the pacing and must return within a bounded time, since stopping waits for it.
#ifndef _aLogger_H_
#define _aLogger_H_

#include <pthread.h>

#include <atomic>

#include "aDefs.h"
#include "aError.h"
#include "aFile.h"
#include "aThread.h"

#define aLOGGERCHECK 0xDEED

typedef void (*aLoggerProc)(void* file, unsigned int parameter);

typedef struct aLogger {
    u32 parameter;
    aLoggerProc proc;
    aFile* file;
    pthread_t thread; // the creating or last stopping thread
    std::atomic<bool> running;
    u16 check;
    aThread* writer; // join handle of the writer thread
} aLogger;

#define aVALIDLOGGER(l) ((l) != NULL && (l)->check == aLOGGERCHECK)

// A stopped logger writing to path (opened for appending, created if missing, unbuffered);
// NULL when the file cannot be opened, proc is NULL or memory runs out.
aLogger* aLogger_Create(u32 parameter, aLoggerProc proc, const char* path);
// Starts the writer thread. aErrParam invalid logger, aErrResource no thread; aErrNone when
// already running.
aErr aLogger_Enable(aLogger* logger);
// Stops and joins the writer. aErrNone when not running or when called on the writer itself;
// aErrUnknown when the join fails.
aErr aLogger_Disable(aLogger* logger);
// Stops the logger, closes its file and frees it (*logger set to NULL). An invalid logger is
// left alone (aErrNone); a failed stop is returned and the record stays. Called on the
// writer thread it does nothing and returns aErrBusy.
aErr aLogger_Destroy(aLogger** logger);

#endif
