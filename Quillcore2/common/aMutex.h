// A labelled, non-recursive mutex.
#ifndef _aMutex_H_
#define _aMutex_H_

#include "aError.h"

typedef struct aMutex aMutex;

// NULL when memory runs out, the label has 256 characters or more, or init fails.
aMutex* aMutex_Create(const char* label);
const char* aMutex_Identifier(aMutex* mutex);
aErr aMutex_Lock(aMutex* mutex);
aErr aMutex_TryLock(aMutex* mutex);
aErr aMutex_Unlock(aMutex* mutex);
// Frees the mutex whatever the destroy reports and sets *mutex to NULL.
aErr aMutex_Destroy(aMutex** mutex);

#endif
