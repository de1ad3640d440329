// USB trace lines on standard output, against an emulated device under umockdev: failing
// transfers print the libusb error, a failed device its state; discovery prints what it found.
#include <gtest/gtest.h>

#include <libusb.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "UsbModules.h"
#include "StdoutCapture.h"
#include "aDebug.h"
#include "aStream.h"
#include "discover.h"
#include "module_emu/UsbTransport.h"
#include "qcusb_driver.h"
#include "unix_streamusb.h"
#include "SkipOrFail.h"

using module_emu::UsbDevice;
using module_emu::UsbFault;
using module_emu::UsbTestbed;
using Lines = std::vector<std::string>;
using qctest::StdoutCapture;

namespace {

const u32 kSerial = 0x0C000002;

// Added before libusb first looks (it learns the list once).
UsbDevice* device()
{
    static UsbDevice* d = qctest::addFamilyModule(kSerial);
    return d;
}

struct UsbTrace : testing::Test {
    void SetUp() override
    {
        if (!UsbTestbed::instance().ok())
            QC_SKIP_OR_FAIL(UsbTestbed::instance().error());
        ASSERT_NE(device(), nullptr) << UsbTestbed::instance().error();
    }
    void TearDown() override
    {
        aQuillcoreDebuggingEnable = false;
        aQuillcoreDebuggingLevel = 0;
        if (device())
            device()->setFault(UsbFault::None);
    }
    void on(u32 level)
    {
        aQuillcoreDebuggingLevel = level;
        aQuillcoreDebuggingEnable = true;
    }
};

bool collect(const linkSpec*, bool* found, void*)
{
    *found = true;
    return true;
}

} // namespace

TEST_F(UsbTrace, DiscoveryPrintsEachModuleFound)
{
    StdoutCapture out;
    ASSERT_TRUE(out.ok());
    on(aDEBUG_DISCOVERY);
    u8 n = aDiscovery_EnumerateModules(USB, collect, NULL, 0);
    TearDown();
    out.stop();
    EXPECT_EQ(n, 1);
    EXPECT_EQ(out.lines(), (Lines{"Got NEW linkSpec(usb): SN: 0x0C000002 - Model: 5"}));
}

TEST_F(UsbTrace, FailingTransfersPrintTheErrorThenTheFailedState)
{
    struct Row { const char* name; UsbFault fault; int code; };
    const Row rows[] = {
        {"protocol errors", UsbFault::TransferErrors, LIBUSB_ERROR_IO},
        {"unplugged", UsbFault::Unplugged, LIBUSB_ERROR_NO_DEVICE},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        device()->setFault(UsbFault::None);
        aStream* stream = NULL;
        ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
        device()->setFault(r.fault);
        StdoutCapture out;
        ASSERT_TRUE(out.ok());
        on(aDEBUG_USB);
        // Every pass of the write tries its chunk twice and prints when the retry fails.
        EXPECT_EQ(aStream_Write(stream, "xy", 2), aErrWrite);
        char c;
        for (int i = 0; i < 4; i++)
            aStream_Read(stream, &c, 1);   // the fifth error in a row: the device fails
        EXPECT_EQ(aStream_Read(stream, &c, 1), aErrIO);
        EXPECT_EQ(aStream_Write(stream, "xy", 2), aErrIO);
        aQuillcoreDebuggingEnable = false;
        out.stop();
        Lines expected(QCUSB_WRITE_PASSES, qctest::formatted("libusb WRITE error bulk transfer: %d", r.code));
        for (int i = 0; i < 4; i++)
            expected.push_back(qctest::formatted("libusb READ error bulk transfer: %d", r.code));
        expected.push_back(qctest::formatted("libusb READ error dev state: %d", kUSBStateFailed));
        expected.push_back(qctest::formatted("libusb WRITE error dev state: %d", kUSBStateFailed));
        EXPECT_EQ(out.lines(), expected);
        ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    }
}

// A transfer that only stalls is cleared and retried: no error line.
TEST_F(UsbTrace, ClearedStallPrintsNothing)
{
    aStream* stream = NULL;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    StdoutCapture out;
    ASSERT_TRUE(out.ok());
    on(aDEBUG_USB);
    device()->setFault(UsbFault::StallNextOut);
    EXPECT_EQ(aStream_Write(stream, "xy", 2), aErrNone);
    aQuillcoreDebuggingEnable = false;
    out.stop();
    EXPECT_EQ(out.text(), "");
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
}
