// The spi commands: identification, read, the smart write, verify, erase,
// status and unprotect; their command line and their results.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "front/orvtool/command_result.hpp"
#include "front/orvtool/context.hpp"
#include "orv_devices.h"

namespace orvtool::spi {

struct Options {
    std::uint32_t clock_khz = 6000;
    std::string part;       // --part: a built-in part's parameters instead of the flash's own
    std::uint64_t size = 0; // --size: the size to use instead of the flash's own
    // --layout FILE --include NAME...: the layout with those regions chosen,
    // to read, write and verify only them; null: the whole range.
    std::shared_ptr<orvdev_layout> layout;
    std::string layout_file;
    std::vector<std::string> include; // the names as given, for hints
    // --via-bscan TAP:cs=PORT,sck=PORT,mosi=PORT,miso=PORT: the flash behind
    // pins of a device on the JTAG chain (empty: on the SPI connector), with
    // the BSDL files of --bsdl.
    std::string via_bscan;
    std::vector<std::string> bsdl;
};

// spi write: the read-back after it, where to save the old content first,
// and where a failed write saves what it could not put back (empty: the
// working directory).
struct WriteArgs {
    bool verify = true;
    std::string backup_file;
    std::string recovery_dir;
};

// spi erase: sectors of the smallest erase size from an address, or the chip.
struct EraseArgs {
    std::optional<std::uint64_t> sector_addr;
    std::uint64_t sector_count = 1;
    bool chip = false;
};

Result cmd_id(const Context& ctx, const Options& options);
// Into out_file when given ("-": standard output), else as a hex dump.
Result cmd_read(const Context& ctx, const Options& options, std::uint64_t addr, std::uint64_t len,
                const std::string& out_file);
Result cmd_write(const Context& ctx, const Options& options, std::uint64_t addr, const std::string& in_file,
                 const WriteArgs& args);
// Exit 1 naming the first differing address when the flash differs.
Result cmd_verify(const Context& ctx, const Options& options, std::uint64_t addr, const std::string& in_file);
Result cmd_erase(const Context& ctx, const Options& options, const EraseArgs& args);
Result cmd_status(const Context& ctx, const Options& options);
Result cmd_unprotect(const Context& ctx, const Options& options);
// spi protect --range START LEN
struct ProtectArgs {
    std::uint64_t addr = 0;
    std::uint64_t len = 0;
};
// Protects the range (args), then shows what is protected; without args,
// what is protected and the ranges the part can protect.
Result cmd_protect(const Context& ctx, const Options& options, const std::optional<ProtectArgs>& args);
// The SFDP header's parameter tables, each with its DWORDs.
Result cmd_sfdp(const Context& ctx, const Options& options);

} // namespace orvtool::spi
