// Wall-clock milliseconds and sleeping.
#ifndef _aTime_H_
#define _aTime_H_

#include "aDefs.h"
#include "aError.h"

// Milliseconds since the Unix epoch (follows the system clock); 0 when it cannot be read.
u64 aTime_GetMSTicks(void);
// Sleeps that many milliseconds (in pieces below one second); returns aErrNone.
aErr aTime_MSSleep(u64 milliseconds);

#endif
