// Files of the spi and i2c commands: an input read whole with a clear error
// for each way it can fail, and an output written whole or not at all.
#pragma once

#include <istream>
#include <ostream>
#include <span>
#include <string>

#include "format.hpp"

namespace orvtool {

// The whole file, or standard input for "-". Throws a usage error naming the
// reason (the errno text, a directory, an empty file).
Bytes read_input_file(const std::string& path, std::istream& std_in);

// An output file that is replaced only when everything was written: the
// bytes go to a temporary file beside it (so a bad path fails at once, before
// any work), which commit() renames over the target; without commit() it is
// removed and an existing target stays as it was. "-" writes to `std_out`.
class OutputFile {
public:
    OutputFile(const std::string& path, std::ostream& std_out);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(std::span<const std::uint8_t> bytes);
    void commit();
    bool is_stdout() const { return to_stdout_; }

private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
    bool to_stdout_;
    std::ostream& std_out_;
    bool committed_ = false;
};

} // namespace orvtool
