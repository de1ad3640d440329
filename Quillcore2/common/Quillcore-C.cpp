// The process-wide libusb context.
#include "Quillcore-C.h"

#include <atomic>
#include <mutex>

static std::atomic<libusb_context*> _libusbContext{nullptr};
static std::once_flag sContextOnce;
static std::atomic<int> sInitResult{LIBUSB_SUCCESS};
static std::atomic<Quillcore_libusb_init_proc> sInitProc{nullptr};

libusb_context* Quillcore_libusb_context(void)
{
    return _libusbContext.load();
}

aErr Quillcore_libusb_init(void)
{
    // Once per process even when two threads ask at the same time.
    std::call_once(sContextOnce, [] {
        libusb_context* context = nullptr;
        Quillcore_libusb_init_proc proc = sInitProc.load();
        int r = proc ? proc(&context) : libusb_init(&context);
        sInitResult = r;
        if (r == LIBUSB_SUCCESS && context)
            _libusbContext = context;
        else
            sInitResult = r == LIBUSB_SUCCESS ? LIBUSB_ERROR_OTHER : r;
    });
    return sInitResult.load() == LIBUSB_SUCCESS && _libusbContext.load() ? aErrNone
                                                                         : aErrInitialization;
}

void Quillcore_libusb_exit(void)
{
    libusb_context* context = _libusbContext.exchange(nullptr);
    if (context)
        libusb_exit(context);
}

void Quillcore_libusb_set_init_proc(Quillcore_libusb_init_proc proc)
{
    sInitProc = proc;
}
