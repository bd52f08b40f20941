// The machine's serial ports, for a list a user picks a port from.
// Toolkit-free: directory listings and symbolic links only.
#pragma once

#include <string>
#include <vector>

namespace serial_port {

// The serial ports under `devRoot` (the system's /dev): first the stable
// names in serial/by-id (the USB adapters, named by maker and serial
// number, the same after every replug), then the devices of USB adapters,
// USB modems and Bluetooth links (ttyUSB*, ttyACM*, rfcomm*) that no by-id
// name leads to; each group in name order, ttyUSB2 before ttyUSB10. The
// machine's own UARTs (ttyS*) are left out: a PC has device files for
// several whether the ports are there or not.
std::vector<std::string> systemPorts(const std::string& devRoot = "/dev");

// Whether `path` is one of the machine's own UARTs (ttyS*, a Raspberry
// Pi's ttyAMA*), by its name.
bool isBuiltInUart(const std::string& path);

// The port to offer first: `choice` (the device of the port choice in use)
// when it exists and is not one of the machine's own UARTs; else the first
// USB adapter or modem among `ports`; else `choice` all the same.
std::string firstPort(const std::string& choice, const std::vector<std::string>& ports);

}  // namespace serial_port
