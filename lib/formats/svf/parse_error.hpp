// A fault in an SVF file, with the line and column where it was found.
#pragma once

#include <stdexcept>
#include <string>

#include "lib/formats/svf/program.hpp"

namespace orv::svf {

class ParseError : public std::runtime_error {
public:
    ParseError(Location where, const std::string& message)
        : std::runtime_error("line " + std::to_string(where.line) + ", column " +
                             std::to_string(where.column) + ": " + message),
          where_(where), message_(message)
    {
    }
    [[nodiscard]] Location where() const noexcept { return where_; }
    // Without the position.
    [[nodiscard]] const std::string& message() const noexcept { return message_; }

private:
    Location where_;
    std::string message_;
};

// Checking or playing a file was stopped at the caller's request.
class Stopped : public std::runtime_error {
public:
    Stopped() : std::runtime_error("stopped at the caller's request") {}
};

} // namespace orv::svf
