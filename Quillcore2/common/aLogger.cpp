// The log writer thread.
#include "aLogger.h"

#include <new>

namespace {

// The logger whose writer runs on this thread, so a callback that disables it is recognised.
thread_local aLogger* tWriterOf = NULL;

void* sRunLog(void* arg)
{
    aLogger* logger = (aLogger*)arg;
    if (!aVALIDLOGGER(logger))
        return NULL;
    tWriterOf = logger;
    while (logger->running.load())
        logger->proc(logger->file, logger->parameter);
    return NULL;
}

} // namespace

aLogger* aLogger_Create(u32 parameter, aLoggerProc proc, const char* path)
{
    if (!proc || !path)
        return NULL;
    aLogger* logger = new (std::nothrow) aLogger();
    if (!logger)
        return NULL;
    logger->parameter = parameter;
    logger->proc = proc;
    logger->running.store(false);
    logger->check = aLOGGERCHECK;
    logger->thread = pthread_self();
    logger->file = aFile_Open(path, aFILE_MODE_APPEND);
    if (!logger->file) {
        logger->check = 0;
        delete logger;
        return NULL;
    }
    aFile_SetUnbuffered(logger->file);
    return logger;
}

aErr aLogger_Enable(aLogger* logger)
{
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    if (logger->running.load())
        return aErrNone;
    logger->running.store(true);
    logger->writer = aThread_Create(sRunLog, logger);
    if (!logger->writer) {
        logger->running.store(false);
        logger->thread = pthread_self();
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger)
{
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    // The writer cannot join itself; a callback that asks to stop is simply ignored. Tested
    // first: the join handle belongs to the thread that enabled the logger.
    if (tWriterOf == logger)
        return aErrNone;
    if (!logger->running.load() || !logger->writer)
        return aErrNone;
    logger->running.store(false);
    int joined = aThread_Destroy(&logger->writer);
    logger->thread = pthread_self();
    return joined == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLogger** logger)
{
    if (!logger || !aVALIDLOGGER(*logger))
        return aErrNone;
    // On the writer itself the disable below does nothing, so freeing would pull the record
    // and the file from under the running loop.
    if (tWriterOf == *logger)
        return aErrBusy;
    aErr err = aLogger_Disable(*logger);
    aFile_Close(&(*logger)->file);
    if (err != aErrNone)
        return err;
    // The check stays set, as a logger's destroy has always left it.
    delete *logger;
    *logger = NULL;
    return aErrNone;
}
