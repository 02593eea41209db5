// What an orvdev_i2c handle is, for the C functions that make or take one:
// the bus on the adapter's connector (i2c_api.cpp) and on boundary-scan
// pins (bscan/pin_bus_api.cpp).
#pragma once

#include "lib/devices/i2c/i2c_bus.hpp"
#include "orv_devices.h"

struct orvdev_i2c {
    orv::dev::i2c::Bus bus;
};
