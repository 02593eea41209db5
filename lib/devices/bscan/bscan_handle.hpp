// What an orvdev_bscan handle is, for the C functions that take one.
#pragma once

#include "lib/devices/bscan/boundary_chain.hpp"
#include "orv_devices.h"

struct orvdev_bscan {
    orv::dev::bscan::BoundaryChain chain;
};
