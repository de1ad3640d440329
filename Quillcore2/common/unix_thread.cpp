// A joinable thread over pthreads.
#include "aThread.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

struct aThread {
    pthread_t id;
};

aThread* aThread_Create(aThreadEntry entry, void* arg)
{
    if (!entry)
        return NULL;
    aThread* t = (aThread*)calloc(1, sizeof(aThread));
    if (!t)
        return NULL;
    if (pthread_create(&t->id, NULL, entry, arg) != 0) {
        free(t);
        return NULL;
    }
    return t;
}

int aThread_Destroy(aThread** thread)
{
    if (!thread || !*thread)
        return EINVAL;
    int result = pthread_join((*thread)->id, NULL);
    free(*thread);
    *thread = NULL;
    return result;
}

void aThread_Yield(void)
{
    struct timespec pause = {0, 5000};
    nanosleep(&pause, NULL);
}
