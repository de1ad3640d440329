// A labelled, non-recursive mutex over pthreads.
#include "aMutex.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

struct aMutex {
    pthread_mutex_t mutex;
    char label[256];
};

aMutex* aMutex_Create(const char* label)
{
    if (!label)
        label = "";
    size_t length = strnlen(label, sizeof(((aMutex*)0)->label));
    if (length >= sizeof(((aMutex*)0)->label))
        return NULL;
    aMutex* m = (aMutex*)calloc(1, sizeof(aMutex));
    if (!m)
        return NULL;
    memcpy(m->label, label, length);
    if (pthread_mutex_init(&m->mutex, NULL) != 0) {
        free(m);
        return NULL;
    }
    return m;
}

const char* aMutex_Identifier(aMutex* mutex)
{
    return mutex ? mutex->label : NULL;
}

aErr aMutex_Lock(aMutex* mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutex* mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EBUSY: return aErrBusy;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutex* mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EPERM: return aErrPermission;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
}

aErr aMutex_Destroy(aMutex** mutex)
{
    if (!mutex)
        return aErrParam;
    aMutex* m = *mutex;
    *mutex = NULL;
    if (!m)
        return aErrParam;
    aErr result;
    switch (pthread_mutex_destroy(&m->mutex)) {
    case 0: result = aErrNone; break;
    case EBUSY: result = aErrBusy; break;
    case EINVAL: result = aErrParam; break;
    case EAGAIN: result = aErrResource; break;
    default: result = aErrUnknown; break;
    }
    free(m);
    return result;
}
