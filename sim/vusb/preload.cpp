// umockdev's preload library: whether it is active in this process, and
// re-executing the program under umockdev-wrapper when it is not.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include "sim/vusb/virtual_usb.hpp"

// GCC says __SANITIZE_ADDRESS__; clang answers __has_feature.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORV_HAS_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef ORV_HAS_ADDRESS_SANITIZER
#define ORV_HAS_ADDRESS_SANITIZER 0
#endif

namespace orv::sim {

// umockdev_in_mock_environment() cannot tell: it looks at /sys, which the
// preload only redirects once a testbed exists, and caches its first answer.
// The question is whether the preload library is mapped into the process.
bool preload_active()
{
    return dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD) != nullptr;
}

bool reexec_under_preload(int argc, char** argv, std::string* error)
{
    if (preload_active()) {
        return true;
    }
    auto fail = [error](std::string text) {
        if (error != nullptr) {
            *error = std::move(text);
        }
        return false;
    };
    if (std::getenv("ORV_VUSB_REEXEC") != nullptr) {
        return fail("umockdev-wrapper ran, but umockdev's preload library is not active in the process");
    }
    setenv("ORV_VUSB_REEXEC", "1", 1);
#if defined(__SANITIZE_ADDRESS__) || ORV_HAS_ADDRESS_SANITIZER
    // The preload comes first in LD_PRELOAD, ahead of the sanitizer runtime.
    std::string asan = std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") : "";
    if (asan.find("verify_asan_link_order") == std::string::npos) {
        asan += asan.empty() ? "verify_asan_link_order=0" : ":verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
#endif
    std::vector<char*> args;
    args.push_back(const_cast<char*>("umockdev-wrapper"));
    for (int i = 0; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    const int saved = errno;
    unsetenv("ORV_VUSB_REEXEC");
    return fail(std::string("cannot run umockdev-wrapper (install the umockdev package): ") +
                std::strerror(saved));
}

} // namespace orv::sim
