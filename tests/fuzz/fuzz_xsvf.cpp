// Fuzz target: the XSVF reader on any bytes, and the compiler (its repeats
// taken) and the dry run on what it accepts (vector_checks.hpp). A refusal
// names an offset within the file and a command that was read up to it.
#include <cstdint>
#include <vector>

#include "lib/formats/xsvf/reader.hpp"
#include "tests/fuzz/vector_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using orv::fuzz::require;
    std::unique_ptr<orv::svf::Program> program;
    try {
        program = orv::xsvf::load(std::vector<std::uint8_t>(data, data + size));
    } catch (const orv::xsvf::FormatError& e) {
        require(e.offset() <= size && e.command() >= 1 && !e.expected().empty());
        return 0;
    }
    require(program->bytes() == size && program->statements() >= 1);
    orv::fuzz::check_program(*program, false);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}
