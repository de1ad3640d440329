// A joinable thread.
#ifndef _aThread_H_
#define _aThread_H_

#include "aError.h"

typedef struct aThread aThread;
typedef void* (*aThreadEntry)(void* arg);

// Starts entry(arg) on a new joinable thread; NULL on failure.
aThread* aThread_Create(aThreadEntry entry, void* arg);
// Joins the thread, frees the handle, sets *thread to NULL; returns the join's result (errno).
int aThread_Destroy(aThread** thread);
void aThread_Yield(void);

#endif
