// The list of the machine's serial ports, over a device folder of the
// test's own: real files and symbolic links.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/system_ports.h"

namespace {

TEST(SystemPorts, StableNamesFirstThenTheAdaptersNoNameLeadsToAndTheFirstPortAnAdapter) {
    char made[] = "/tmp/corvell-dev-XXXXXX";
    ASSERT_TRUE(::mkdtemp(made));
    const std::string dev = made;
    ASSERT_EQ(::mkdir((dev + "/serial").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dev + "/serial/by-id").c_str(), 0755), 0);
    for (const char* name :
         {"ttyUSB1", "ttyUSB10", "ttyUSB2", "ttyACM0", "rfcomm0", "ttyS0", "ttyS1", "tty0", "console"})
        std::fclose(std::fopen((dev + "/" + name).c_str(), "w"));
    const std::string ftdi = dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    ASSERT_EQ(::symlink("../../ttyUSB1", ftdi.c_str()), 0);
    ASSERT_EQ(::symlink("../../ttyUSB9", (dev + "/serial/by-id/usb-unplugged-if00").c_str()), 0);

    const std::vector<std::string> ports = serial_port::systemPorts(dev);
    EXPECT_EQ(ports, (std::vector<std::string>{ftdi, dev + "/rfcomm0", dev + "/ttyACM0", dev + "/ttyUSB2",
                                               dev + "/ttyUSB10"}));
    const struct {
        std::string choice;
        std::vector<std::string> ports;
        std::string first;
    } cases[] = {
        {dev + "/ttyS0", ports, ftdi},                         // a built-in UART: the adapter instead
        {dev + "/ttyUSB2", ports, dev + "/ttyUSB2"},           // the choice is an adapter
        {dev + "/absent", ports, ftdi},                        // nothing there
        {dev + "/ttyS1", {dev + "/rfcomm0"}, dev + "/ttyS1"},  // no adapter to offer
        {"", {}, ""},
    };
    for (const auto& k : cases) EXPECT_EQ(serial_port::firstPort(k.choice, k.ports), k.first) << k.choice;
    EXPECT_TRUE(serial_port::isBuiltInUart("/dev/ttyAMA0"));
    EXPECT_FALSE(serial_port::isBuiltInUart("/dev/ttySAC"));
    std::system(("rm -rf '" + dev + "'").c_str());
}

}  // namespace
