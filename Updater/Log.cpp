#include "Log.h"

#include <cstdarg>
#include <cstring>

unsigned int Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;

void Log::log(unsigned int package, char const* format, ...)
{
    if (package != 0 && (package & package_bitmask) == 0)
        return;
    char text[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        return;
    // One fwrite per text keeps lines whole when the download worker logs beside the main thread.
    if (fh)
        fwrite(text, 1, strlen(text), fh);
}

void Log::SetOutput(FILE* out) { fh = out; }
void Log::ActivatePackage(unsigned int bits) { package_bitmask |= bits; }
void Log::DeactivatePackage(unsigned int bits) { package_bitmask &= ~bits; }
