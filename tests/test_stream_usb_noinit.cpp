// When libusb cannot start, the USB stream finds nothing, and never calls libusb with the
// missing context (which would quietly make libusb's own default one and find the device).
#include <gtest/gtest.h>

#include "Quillcore-C.h"
#include "aStream.h"
#include "module_emu/UsbTransport.h"
#include "qcusb_driver.h"
#include "SkipOrFail.h"

using module_emu::UsbDeviceConfig;
using module_emu::UsbTestbed;

static int sFailingInit(libusb_context** context)
{
    *context = nullptr;
    return LIBUSB_ERROR_OTHER;
}

TEST(UsbWithoutLibusb, OpenFindsNothingAndTheContextStaysUnmade)
{
    UsbTestbed& tb = UsbTestbed::instance();
    if (!tb.ok())
        QC_SKIP_OR_FAIL(tb.error());
    UsbDeviceConfig c;
    c.vendorId = QCUSB_VENDOR_ID;
    c.productId = 0x0105;
    c.serial = "0000B001";
    ASSERT_NE(tb.addDevice(c), nullptr) << tb.error();

    Quillcore_libusb_set_init_proc(sFailingInit);
    aStream* s = (aStream*)0x1;
    EXPECT_EQ(aStream_CreateUSB(0x0000B001, &s), aErrNotFound);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(Quillcore_libusb_context(), nullptr);
    // Made once: a second attempt does not try again, and reports the failure.
    EXPECT_EQ(Quillcore_libusb_init(), aErrInitialization);
    EXPECT_EQ(aStream_CreateUSB(0x0000B001, &s), aErrNotFound);
    qcusbDevice* d = qcusb_create_usb(QCUSB_MODE_LIBUSB);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(qcusb_open_quillcore_device(d, "0000B001"), aErrNotFound);
    EXPECT_EQ(qcusb_destroy(&d), aErrNone);
}
