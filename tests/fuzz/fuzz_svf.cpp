// Fuzz target: the SVF parser on any text, and the compiler and the dry run
// on what it accepts (vector_checks.hpp). A refusal names a line and column
// (from 1) and says what is wrong.
#include <cstdint>
#include <string>
#include <string_view>

#include "lib/formats/svf/parse_error.hpp"
#include "lib/formats/svf/parser.hpp"
#include "tests/fuzz/vector_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using orv::fuzz::require;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<orv::svf::Program> program;
    try {
        program = orv::svf::load(text);
    } catch (const orv::svf::ParseError& e) {
        require(e.where().line >= 1 && e.where().column >= 1 && !e.message().empty());
        return 0;
    }
    require(program->bytes() == size);
    orv::fuzz::check_program(*program, true);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}
