// Files of the spi and i2c commands: an input read whole, within what it can
// be, with a clear error for each way it can fail, and an output written
// whole or not at all (orv::hostfile says how: devices and FIFOs are written
// in place, links followed, mode and owner kept). A wait for the other end
// of a FIFO, or on a pipe or terminal, ends with the first SIGINT or SIGTERM
// (exit 130, 143).
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <span>
#include <string>

#include "front/orvtool/format.hpp"
#include "lib/wire/spi_nor.hpp"

namespace orv::hostfile {
class OutputFile;
}

namespace orvtool {

// The whole file, or standard input for "-", of at most `max_bytes`. Throws
// orv::hostfile::FileError (too_large, not_a_file, system), for the caller to
// name the bound; ToolError when a signal ended a wait for input.
Bytes read_bounded(const std::string& path, std::istream& std_in, std::uint64_t max_bytes);

// What an input file is for, in the messages that refuse it: "give the image
// to write as a file", "flash.bin is empty: nothing to write".
struct InputRole {
    const char* what;       // "the image to write"
    const char* when_empty; // "nothing to write"
};
inline constexpr InputRole IMAGE_TO_WRITE{"the image to write", "nothing to write"};
inline constexpr InputRole IMAGE_TO_VERIFY{"the image to compare the flash with", "nothing to verify"};
inline constexpr InputRole LAYOUT{"the layout", "no regions to choose from"};

// The whole file, or standard input for "-", of at most `max_bytes`: a
// regular file larger than that is refused before it is read, a pipe or
// device when it gives more. By default the most a flash orvtool can address
// holds (4 GiB); the command checks the real flash's size later. Throws a
// usage error naming the reason (the errno text, a directory, an empty file,
// too large) in the words of its `role`.
Bytes read_input_file(const std::string& path, std::istream& std_in, const InputRole& role,
                      std::uint64_t max_bytes = orv::nor::LARGEST_ADDRESSABLE);

// Refuses, before any work, an output path that cannot be written (as
// OutputFile would), without opening a FIFO or device: a reader of a FIFO
// would take the open for the end of its input. Nothing for "-".
void check_output_file(const std::string& path);

// An output file that is replaced only when everything was written: the
// bytes go to a temporary file beside it (so a bad path fails at once, before
// any work), which commit() renames over the target; without commit() it is
// removed and an existing target stays as it was. A device or FIFO is written
// in place. "-" writes to `std_out`.
class OutputFile {
public:
    OutputFile(const std::string& path, std::ostream& std_out);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(std::span<const std::uint8_t> bytes);
    void commit();
    bool is_stdout() const { return file_ == nullptr; }

private:
    std::string path_;
    std::unique_ptr<orv::hostfile::OutputFile> file_;
    std::ostream& std_out_;
};

} // namespace orvtool
