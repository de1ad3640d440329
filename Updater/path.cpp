#include "path.h"

#include <cstdarg>

std::string BuildPath(const char* first, ...)
{
    std::string path;
    if (!first)
        return path;
    path = first;
    va_list parts;
    va_start(parts, first);
    for (const char* part = va_arg(parts, const char*); part; part = va_arg(parts, const char*)) {
        path += '/';
        path += part;
    }
    va_end(parts);
    return path;
}
