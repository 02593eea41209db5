// Fuzz target: board files. The first input byte picks one of:
//
//   odd     the rest of the input is the board file's text;
//   even    a document nested as deep as the next two bytes say (times
//           eight: up to half a million levels), each level a list or an
//           object whose key comes from the input, around the rest of the
//           input as text.
//
// A board file is read into a board or refused with a BoardFileError (which
// says where and what); any other exception, a crash or exhausted memory is
// a finding. Image paths point into a directory that does not exist: nothing
// is read or written beside the fuzzer.
#include <cstdint>
#include <string>

#include "sim/emulator/board_file.hpp"

namespace {

std::string nested(const std::uint8_t* data, std::size_t size)
{
    const std::size_t levels = size < 3 ? 0 : (std::size_t{data[1]} << 8 | data[2]) * 8;
    const std::string inside(reinterpret_cast<const char*>(data) + std::min<std::size_t>(size, 3),
                             size - std::min<std::size_t>(size, 3));
    std::string open;
    std::string close;
    for (std::size_t level = 0; level < levels; ++level) {
        const std::uint8_t pick = size > 3 ? data[3 + level % (size - 3)] : 0;
        if ((pick & 1) != 0) {
            open += "[";
            close += "]";
        } else {
            open += "{\"" + std::string(1, static_cast<char>('a' + pick % 26)) + "\": ";
            close += "}";
        }
    }
    return open + inside + std::string(close.rbegin(), close.rend());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string text = (data[0] & 1) != 0
                                 ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1)
                                 : nested(data, size);
    try {
        (void)orv::emu::parse_board(text, "/nonexistent-fuzz-dir/board.json");
    } catch (const orv::emu::BoardFileError&) {
        // refused with where and what: fine
    }
    return 0;
}
