// Test fixture: the USB driver's kernel nodes in a fresh directory for the whole program, so
// tests can put emulated modules where the driver looks for them. Register it once with
// ::testing::AddGlobalTestEnvironment(new UsbNodeDirectory("name")).
#ifndef _UsbNodeDirectory_H_
#define _UsbNodeDirectory_H_

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "qcusb_driver.h"

class UsbNodeDirectory : public ::testing::Environment {
public:
    // The directory is /tmp/<prefix>_XXXXXX.
    explicit UsbNodeDirectory(const std::string& name) : prefix(name) {}
    void SetUp() override
    {
        std::string pattern = "/tmp/" + prefix + "_XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        path = pattern;
        qcusb_set_kernel_node_directory(path.c_str());
    }
    void TearDown() override
    {
        qcusb_set_kernel_node_directory(NULL);
        rmdir(path.c_str());
    }
    std::string path;

private:
    std::string prefix;
};

// Where the driver looks for the kernel node of the module with this serial.
inline std::string UsbNodePath(u32 serial)
{
    char path[4096];
    qcusb_kernel_node_path(serial, path, sizeof path);
    return path;
}

#endif
