// Wall-clock milliseconds and sleeping over POSIX.
#include "aTime.h"

#include <sys/time.h>
#include <unistd.h>

// One usleep covers less than a second, so longer sleeps go in pieces.
static const u64 sMaxSleepPiece = 999999;

u64 aTime_GetMSTicks(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, NULL) != 0)
        return 0;
    return (u64)tv.tv_sec * 1000u + (u64)tv.tv_usec / 1000u;
}

static void osMSSleep(u64 milliseconds)
{
    if (milliseconds == 0)
        return;
    u64 remaining = milliseconds * 1000u;
    while (remaining > 0) {
        u64 piece = remaining > sMaxSleepPiece ? sMaxSleepPiece : remaining;
        usleep((useconds_t)piece);
        remaining -= piece;
    }
}

aErr aTime_MSSleep(u64 milliseconds)
{
    osMSSleep(milliseconds);
    return aErrNone;
}
