#include "front/orvtool/file_io.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "front/orvtool/errors.hpp"
#include "front/orvtool/interrupt.hpp"
#include "lib/hostfile/host_file.hpp"

namespace orvtool {

namespace {

using orv::hostfile::FileError;

// Waits on FIFOs, pipes and terminals end with the first SIGINT or SIGTERM.
bool stop_on_signal() noexcept
{
    return interrupting_signal() != 0;
}

[[noreturn]] void interrupted(const FileError& e)
{
    throw ToolError(Exit::failed,
                    std::string("interrupted by ") + signal_name(interrupting_signal()) + ": " + e.what());
}

[[noreturn]] void input_error(const FileError& e, const std::string& name, const InputRole& role,
                              std::uint64_t max_bytes)
{
    switch (e.kind()) {
    case FileError::Kind::too_large:
        usage_error(name + " holds more than " + size_text(max_bytes) +
                        (max_bytes == orv::nor::LARGEST_ADDRESSABLE
                             ? ", the most a flash orvtool can address holds (4-byte addresses)"
                             : ""),
                    "give a file of the flash's size at most");
    case FileError::Kind::not_a_file:
        usage_error(name + " is a directory", std::string("give ") + role.what + " as a file");
    default:
        usage_error(e.what(), "check the file name");
    }
}

[[noreturn]] void output_error(const FileError& e, const std::string& path)
{
    if (e.kind() == FileError::Kind::interrupted) {
        interrupted(e);
    }
    if (e.kind() == FileError::Kind::not_a_file) {
        usage_error(path + " is a directory", "give a file name for the bytes");
    }
    usage_error(std::string("cannot create ") + path + ": " + std::strerror(e.error_number()),
                "check that the directory exists and that you may write there");
}

} // namespace

Bytes read_bounded(const std::string& path, std::istream& std_in, std::uint64_t max_bytes)
{
    try {
        if (path != "-") {
            return orv::hostfile::read_file(path, max_bytes, stop_on_signal);
        }
        if (&std_in == &std::cin) {
            return orv::hostfile::read_descriptor(STDIN_FILENO, "standard input", max_bytes, stop_on_signal);
        }
    } catch (const FileError& e) {
        if (e.kind() == FileError::Kind::interrupted) {
            interrupted(e);
        }
        throw;
    }
    // Standard input as a stream (the tests give one), read in pieces with
    // the same bound as a pipe.
    Bytes data;
    char chunk[65536];
    while (std_in.read(chunk, sizeof chunk) || std_in.gcount() > 0) {
        const auto n = static_cast<std::size_t>(std_in.gcount());
        if (data.size() + n > max_bytes) {
            throw FileError(FileError::Kind::too_large, "standard input", "standard input");
        }
        data.insert(data.end(), chunk, chunk + n);
    }
    if (std_in.bad()) {
        throw FileError(FileError::Kind::system, "standard input", "cannot read standard input", EIO);
    }
    return data;
}

Bytes read_input_file(const std::string& path, std::istream& std_in, const InputRole& role,
                      std::uint64_t max_bytes)
{
    Bytes data;
    const std::string name = path == "-" ? std::string("standard input") : path;
    try {
        data = read_bounded(path, std_in, max_bytes);
    } catch (const FileError& e) {
        input_error(e, name, role, max_bytes);
    }
    if (data.empty()) {
        usage_error(name + " is empty: " + role.when_empty);
    }
    return data;
}

OutputFile::OutputFile(const std::string& path, std::ostream& std_out) : path_(path), std_out_(std_out)
{
    if (path == "-") {
        return;
    }
    try {
        file_ = std::make_unique<orv::hostfile::OutputFile>(path, stop_on_signal);
    } catch (const FileError& e) {
        output_error(e, path);
    }
}

void check_output_file(const std::string& path)
{
    if (path == "-") {
        return;
    }
    try {
        orv::hostfile::OutputFile::check(path);
    } catch (const FileError& e) {
        output_error(e, path);
    }
}

OutputFile::~OutputFile() = default;

void OutputFile::write(std::span<const std::uint8_t> bytes)
{
    if (file_ == nullptr) {
        std_out_.write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
        std_out_.flush();
        if (!std_out_ && interrupting_signal() != 0) {
            throw ToolError(Exit::failed, std::string("interrupted by ") +
                                              signal_name(interrupting_signal()) +
                                              ": gave up waiting for standard output to take more");
        }
        if (!std_out_) {
            throw ToolError(Exit::failed, "cannot write the bytes to standard output");
        }
        return;
    }
    try {
        file_->write(bytes);
    } catch (const FileError& e) {
        if (e.kind() == FileError::Kind::interrupted) {
            interrupted(e);
        }
        throw ToolError(Exit::failed, e.what(),
                        file_->in_place() ? "check the device"
                                          : "check the free space; " + path_ + " was left as it was");
    }
}

void OutputFile::commit()
{
    if (file_ == nullptr) {
        return;
    }
    try {
        file_->commit();
    } catch (const FileError& e) {
        throw ToolError(Exit::failed, e.what(), "check the free space; " + path_ + " was left as it was");
    }
}

} // namespace orvtool
