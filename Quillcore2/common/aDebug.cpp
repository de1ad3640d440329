// Library trace output.
#include "aDebug.h"

#include <stdarg.h>
#include <stdio.h>

std::atomic<bool> aQuillcoreDebuggingEnable(false);
std::atomic<u32> aQuillcoreDebuggingLevel(0);

void aDebug_Printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    flockfile(stdout);
    vfprintf(stdout, format, args);
    fflush(stdout);
    funlockfile(stdout);
    va_end(args);
}
