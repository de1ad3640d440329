// USB stream through a kernel driver node: a pseudo-terminal with the driver's bounded read,
// reached through a symlink where the node would be.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "StreamRead.h"
#include "Timing.h"
#include "Quillcore-C.h"
#include "aStream.h"
#include "module_emu/PtyTransport.h"
#include "qcusb_driver.h"
#include "unix_streamusb.h"
#include "UsbNodeDirectory.h"
#include "SkipOrFail.h"

using module_emu::PtyTransport;
using Clock = std::chrono::steady_clock;

namespace {

void roundTrip(u32 serial)
{
    PtyTransport node(UsbNodePath(serial));
    ASSERT_TRUE(node.ok()) << node.error();
    EXPECT_TRUE(qcusb_is_kernel_driver_installed(serial));
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(serial, &s), aErrNone);
    qcusbDevice* d = ((aUSBStream*)s->ref)->device;
    EXPECT_EQ(d->mode, QCUSB_MODE_KERNEL);

    std::vector<u8> packet = {0xAD, 0x00, 0xAD, 0x00};
    ASSERT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrNone);
    ASSERT_TRUE(node.waitForReceived(packet.size(), 2000));
    EXPECT_EQ(node.received(), packet);
    std::vector<u8> reply = {0x04, 0x00, 0x04, 0x00};
    ASSERT_TRUE(node.send(reply));
    EXPECT_EQ(qctest::readBytesWithin(s, reply.size(), 2000), reply);

    // A burst longer than the driver's read buffer comes out whole and in order.
    std::vector<u8> burst(2500);
    for (size_t i = 0; i < burst.size(); i++)
        burst[i] = (u8)(i * 7 + i / 256);
    ASSERT_TRUE(node.send(burst));
    EXPECT_EQ(qctest::readBytesWithin(s, burst.size(), 5000), burst);

    // An idle read returns after the node's one-second wait with no byte.
    auto start = Clock::now();
    char c;
    EXPECT_EQ(aStream_Read(s, &c, 1), aErrNotReady);
    long ms = qctest::msSince(start);
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 2500);

    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    // Behind its kernel driver a module never needs libusb.
    EXPECT_EQ(Quillcore_libusb_context(), nullptr);
}

}  // namespace

TEST(UsbKernelNode, RoundTripThroughTheNodeInDev)
{
    if (access("/dev", W_OK) != 0)
        QC_SKIP_OR_FAIL("/dev is not writable here; the node cannot be made");
    roundTrip(0x00C0FFEE);
}

TEST(UsbKernelNode, RoundTripThroughANodeDirectoryOfTheTests)
{
    char dir[] = "/tmp/qc_node_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    qcusb_set_kernel_node_directory(dir);
    roundTrip(0x00C0FFEF);
    qcusb_set_kernel_node_directory(nullptr);
    rmdir(dir);
}

TEST(UsbKernelNode, NodeChecksAndFailures)
{
    char dir[] = "/tmp/qc_node_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    qcusb_set_kernel_node_directory(dir);
    const u32 serial = 0x0000D00D;
    const std::string path = UsbNodePath(serial);
    EXPECT_FALSE(qcusb_is_kernel_driver_installed(serial));
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);   // a directory is no node
    EXPECT_FALSE(qcusb_is_kernel_driver_installed(serial));
    rmdir(path.c_str());
    // A node that exists but cannot be opened.
    ASSERT_EQ(symlink("/nonexistent-node", path.c_str()), 0);
    EXPECT_FALSE(qcusb_is_kernel_driver_installed(serial));   // dangling: no entry behind it
    unlink(path.c_str());

    qcusbDevice* d = qcusb_create_usb(QCUSB_MODE_KERNEL);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->state.load(), kUSBStateCreated);
    char c;
    EXPECT_EQ(qcusb_get_from_device(d, &c), aErrMode);            // nothing open
    EXPECT_EQ(qcusb_write_to_device(d, "a", 1), aErrMode);
    EXPECT_EQ(qcusb_open_quillcore_device(d, "0000D00D"), aErrIO);   // no node there
    EXPECT_EQ(qcusb_close_quillcore_device(d), aErrNone);
    EXPECT_EQ(qcusb_destroy(&d), aErrNone);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(qcusb_destroy(&d), aErrParam);
    EXPECT_EQ(Quillcore_libusb_context(), nullptr);
    qcusb_set_kernel_node_directory(nullptr);
    rmdir(dir);
}
