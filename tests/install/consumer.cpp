// Another program on the machine, built only from what cmake --install put in place.
#include <cstdio>
#include <cstring>

#include <aError.h>
#include <aLink.h>
#include <aStream_ZeroMQClient.h>

int main()
{
    const char* text = aError_GetErrorText(aErrNotFound);
    std::printf("%s\n", text);
    return std::strcmp(text, "aErrNotFound") == 0 ? 0 : 1;
}
