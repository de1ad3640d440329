#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, char const* format, ...)
{
    if (muted)
        return;
    char text[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        text[0] = '\0';
    if (level == LEVEL_ERROR)
        error_message(text);
    else
        info_message(text);
}

void UpdaterDisplayInterface::mute_messages(bool mute) { muted = mute; }
