// The process-wide libusb context shared by the USB driver and USB discovery. It is made once,
// on first use, and lives until the process ends.
#ifndef _Quillcore_C_H_
#define _Quillcore_C_H_

#include <libusb.h>

#include "aError.h"

// The context, or NULL when it has not been made or could not be made. Callers must not pass
// a NULL context on to libusb (that would quietly make libusb's own default context).
libusb_context* Quillcore_libusb_context(void);
// Makes the context the first time it is called (later calls only report the outcome):
// aErrNone, or aErrInitialization when libusb could not start, and then stays NULL.
aErr Quillcore_libusb_init(void);
// Ends the context and sets it to NULL; it is not made again in this process.
void Quillcore_libusb_exit(void);

// Tests only: the function that makes the context in place of libusb_init. Effective only
// before the first Quillcore_libusb_init.
typedef int (*Quillcore_libusb_init_proc)(libusb_context** context);
void Quillcore_libusb_set_init_proc(Quillcore_libusb_init_proc proc);

#endif
