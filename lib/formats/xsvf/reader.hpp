// Xilinx's binary XSVF: a command byte, then its arguments, big-endian, the
// values of a scan in whole bytes with the first bit shifted in the last
// byte's bit 0. Read into the model SVF files are read into
// (lib/formats/svf/program.hpp), so that one player plays both; every command
// of the format is read: XCOMPLETE, XTDOMASK, XSIR, XSIR2, XSDR, XRUNTEST,
// XREPEAT, XSDRSIZE, XSDRTDO, XSETSDRMASKS, XSDRINC, XSDRB/C/E,
// XSDRTDOB/C/E, XSTATE, XENDIR, XENDDR, XCOMMENT, XWAIT.
//
// What a command means, as Xilinx's reference player does it:
//   - XSIR/XSIR2 shift the instruction (no TDO) and go to the XENDIR state
//     (Run-Test/Idle or Pause-IR); with an XRUNTEST time they then go to
//     Run-Test/Idle and wait it. A length of 0 shifts nothing: it only waits.
//   - XSDR, XSDRTDO and XSDRINC shift the data, compare TDO under XTDOMASK
//     (XSDR with the TDO of the last XSDRTDO), repeat it up to XREPEAT times
//     while it differs, go to the XENDDR state and wait as XSIR does.
//     XSDRINC shifts its first value, then each next one: the value before it
//     plus the address mask, its data-mask bits replaced by the next data
//     bits (XSETSDRMASKS), lowest first.
//   - XSDRB/XSDRC shift and stay in Shift-DR (TMS low on the last bit), XSDRE
//     then goes to the XENDDR state; the TDO forms compare every bit.
//   - XSTATE goes to the state given by the reference player's walk, one
//     clock a step (its RESET: TMS high from anywhere); Exit2 only from the
//     Pause state before it.
//   - XWAIT goes to its wait state, waits the time there (clocking it, as
//     RUNTEST does, in a state clocks do not leave; on the host in any
//     other), then goes to its end state.
// A file is checked whole before anything is played: an unknown command, a
// value that runs past the end of the file, a state that is not one, an
// XSDRINC without masks for its size, a file that ends without XCOMPLETE are
// refused with the offset and what was expected there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/formats/svf/program.hpp"

namespace orv::xsvf {

// The longest scan accepted, as for SVF.
inline constexpr std::uint32_t MAX_SCAN_BITS = std::uint32_t{1} << 30;

// A fault in an XSVF file: at the byte `offset`, in the command numbered
// `command` (from 1), what was expected there.
class FormatError : public std::runtime_error {
public:
    FormatError(std::size_t offset, std::uint64_t command, const std::string& expected);
    [[nodiscard]] std::size_t offset() const noexcept { return offset_; }
    [[nodiscard]] std::uint64_t command() const noexcept { return command_; }
    [[nodiscard]] const std::string& expected() const noexcept { return expected_; }

private:
    std::size_t offset_;
    std::uint64_t command_;
    std::string expected_;
};

// Reads `bytes`, handing each command to `each` as one or more statements of
// the model (all with the command's origin: its index from 0 and its byte
// offset), until XCOMPLETE or until `each` returns false. Throws FormatError
// at the first fault (the commands before it have been handed over),
// svf::Stopped when `stop` says so (asked between commands).
void read(std::span<const std::uint8_t> bytes, const svf::StatementSink& each,
          const svf::StopCheck& stop = {});

// Checks the whole file (FormatError, svf::Stopped as read()) and keeps it,
// to read its commands again as they are played. `also` sees each statement
// of the check.
[[nodiscard]] std::unique_ptr<svf::Program>
load(std::vector<std::uint8_t> bytes, const svf::StopCheck& stop = {}, const svf::StatementSink& also = {});

} // namespace orv::xsvf
