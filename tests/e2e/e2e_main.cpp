// The end-to-end test programs need umockdev's preload library in the
// process. CTest sets LD_PRELOAD; run by hand, the program re-executes itself
// under umockdev-wrapper. Listing the tests needs no preload.
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "sim/vusb/virtual_usb.hpp"

int main(int argc, char** argv)
{
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        listing = listing || std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    }
    if (!listing && !orv::sim::preload_active()) {
        std::string error;
        if (!orv::sim::reexec_under_preload(argc, argv, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
