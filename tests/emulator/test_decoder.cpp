// The adapter model's stream decoder, read-back FIFO and count latency.
#include <gtest/gtest.h>

#include <string>

#include "tests/emulator/emu_test_util.hpp"

namespace orv::emu::test {
namespace {

bool mentions(const Adapter& adapter, const std::string& text)
{
    for (const auto& d : adapter.diagnostics()) {
        if (d.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// One complete command of every opcode the libraries emit.
struct CommandCase {
    const char* name;
    Bytes bytes;
};

std::vector<CommandCase> every_command()
{
    Bytes long_run = hex("7B FF");
    long_run.resize(2 + 256, 0x5A);
    return {
        {"set_io_low", hex("20 0B 08")},
        {"set_io_high", hex("21 00 00")},
        {"tms_out", hex("5B 06 7F")},
        {"tms_io", hex("5C 00 81")},
        {"bits_out_lsb", hex("6B 07 AA")},
        {"bits_io_lsb", hex("6C 02 05")},
        {"bits_out_msb", hex("6D 07 AA")},
        {"bits_io_msb", hex("6E 00 80")},
        {"bytes_out_lsb", hex("7B 01 11 22")},
        {"bytes_io_lsb", hex("7C 00 33")},
        {"bytes_out_msb", hex("7D 02 01 02 03")},
        {"bytes_io_msb", hex("7E 00 44")},
        {"bytes_256", long_run},
        {"flush", hex("8B")},
        {"clocks", hex("9B C7 01")},
        {"clocks_read", hex("9C 07 00")},
        {"clocks_read_msb", hex("9D 07 00")},
        {"clock_fast", hex("AB 96")},
        {"clock_slow", hex("AC 58")},
        {"polarity", hex("CB FF")},
        {"bit_order", hex("DB FF")},
    };
}

TEST(Decoder, EveryOpcodeHasItsLength)
{
    // A command decoded with the wrong length would swallow or misread the
    // marker that follows it.
    for (const auto& c : every_command()) {
        auto adapter = make_default_board();
        adapter->write_commands(concat({c.bytes, hex("AB 5A")}));
        EXPECT_TRUE(adapter->diagnostics().empty()) << c.name << ": " << adapter->diagnostics().front();
        EXPECT_EQ(adapter->clock_divisor(), 0x5A) << c.name;
        EXPECT_TRUE(adapter->clock_fast()) << c.name;
    }
}

TEST(Decoder, TruncatedCommandIsReportedAndNotRun)
{
    for (const auto& c : every_command()) {
        if (c.bytes.size() < 2) {
            continue; // 0x8B has nothing to cut
        }
        auto adapter = make_default_board();
        Bytes stream = concat({hex("AC 10"), c.bytes});
        stream.pop_back();
        adapter->write_commands(stream);
        ASSERT_EQ(adapter->diagnostics().size(), 1u) << c.name;
        EXPECT_TRUE(mentions(*adapter, "truncated")) << c.name;
        EXPECT_TRUE(mentions(*adapter, "offset 2")) << c.name;
        EXPECT_EQ(adapter->clock_divisor(), 0x10) << c.name; // what came before ran
        EXPECT_EQ(adapter->pending_bits(), 0u) << c.name;    // the cut command did not
        EXPECT_EQ(adapter->readback_size(), 0u) << c.name;
    }
}

TEST(Decoder, ByteShiftCutInsideItsDataIsNotRun)
{
    auto adapter = loopback_adapter();
    adapter->write_commands(hex("7C 03 01 02 03")); // four bytes announced, three present
    EXPECT_TRUE(mentions(*adapter, "truncated command 0x7C at offset 0: needs 6 bytes, 5 left"));
    adapter->write_commands(hex("8B"));
    EXPECT_EQ(adapter->readback_size(), 0u);
    EXPECT_EQ(adapter->pending_bits(), 0u);
}

TEST(Decoder, UnknownOpcodeStopsTheBuffer)
{
    auto adapter = make_default_board();
    adapter->write_commands(hex("AB 11 00 AB 22"));
    EXPECT_EQ(adapter->clock_divisor(), 0x11);
    ASSERT_EQ(adapter->diagnostics().size(), 1u);
    EXPECT_TRUE(mentions(*adapter, "unknown opcode 0x00 at offset 2"));
    // The next buffer is decoded afresh.
    adapter->write_commands(hex("AB 33"));
    EXPECT_EQ(adapter->clock_divisor(), 0x33);
    EXPECT_EQ(adapter->diagnostics().size(), 1u);
}

TEST(Decoder, OutOfRangeCountsAreReportedAndClamped)
{
    auto adapter = loopback_adapter(AdapterConfig{4096, 0});
    adapter->write_commands(hex("5C 07 80 8B")); // eight TMS clocks asked, seven given
    EXPECT_TRUE(mentions(*adapter, "more than 7 clocks"));
    EXPECT_EQ(drain(*adapter), hex("7F"));
    adapter->write_commands(hex("6C 08 FF 8B"));
    EXPECT_TRUE(mentions(*adapter, "more than 8 bits"));
    EXPECT_EQ(drain(*adapter), hex("FF"));
}

TEST(Decoder, DiagnosticsAreBounded)
{
    auto adapter = make_default_board();
    for (std::size_t i = 0; i < Adapter::MAX_DIAGNOSTICS + 10; ++i) {
        adapter->write_commands(hex("FF"));
    }
    EXPECT_EQ(adapter->diagnostics().size(), Adapter::MAX_DIAGNOSTICS);
    EXPECT_EQ(adapter->diagnostics_dropped(), 10u);
    adapter->clear_diagnostics();
    EXPECT_TRUE(adapter->diagnostics().empty());
}

TEST(Decoder, SpiClockRestingAgainstItsModeIsReported)
{
    auto adapter = make_default_board();
    adapter->write_commands(hex("CB 11 DB FF 20 F7 03 20 F7 01 9B 07 00"));
    EXPECT_TRUE(mentions(*adapter, "SPI clock rests high but the polarity mode is 0x11"));
    adapter->clear_diagnostics();
    adapter->write_commands(hex("CB FF DB FF 20 F7 03 20 F7 01 9B 07 00"));
    EXPECT_TRUE(adapter->diagnostics().empty());
}

TEST(Decoder, KeepsPinsClockAndModes)
{
    auto adapter = make_default_board();
    adapter->write_commands(hex("20 FF 80 21 01 01 CB 11 DB FF AC FA"));
    EXPECT_EQ(adapter->low_pins().direction, 0xFF);
    EXPECT_EQ(adapter->low_pins().level, 0x80);
    EXPECT_EQ(adapter->high_pins().direction, 0x01);
    EXPECT_EQ(adapter->high_pins().level, 0x01);
    EXPECT_EQ(adapter->polarity_mode(), 0x11);
    EXPECT_EQ(adapter->bit_order_mode(), 0xFF);
    EXPECT_EQ(adapter->clock_divisor(), 0xFA);
    EXPECT_FALSE(adapter->clock_fast());
    EXPECT_EQ(adapter->counts().out, 1u);
    EXPECT_EQ(adapter->counts().out_bytes, 12u);
}

// ---- read-back packing --------------------------------------------------

struct PackCase {
    const char* name;
    const char* stream;
    const char* readback;
};

class Packing : public ::testing::TestWithParam<PackCase> {};

TEST_P(Packing, Golden)
{
    auto adapter = loopback_adapter();
    adapter->write_commands(hex(GetParam().stream));
    EXPECT_TRUE(adapter->diagnostics().empty());
    EXPECT_EQ(drain(*adapter), hex(GetParam().readback));
    EXPECT_EQ(adapter->pending_bits(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Loopback, Packing,
    ::testing::Values(PackCase{"bytes_lsb", "7C 01 A5 3C 8B", "A5 3C"},
                      PackCase{"bytes_msb", "7E 01 A5 3C 8B", "A5 3C"},
                      PackCase{"bits_lsb_first_sample_bit0", "6C 02 05 8B", "05"},
                      PackCase{"bits_msb_first_sample_bit7", "6E 02 A0 8B", "A0"},
                      PackCase{"one_tms_bit_to_bit0", "5C 00 81 8B", "01"},
                      PackCase{"bits_across_commands", "6C 04 1F 6C 04 1F 8B", "FF 03"},
                      PackCase{"lsb_bits_then_bytes", "6C 03 0F 7C 00 F0 8B", "0F 0F"},
                      PackCase{"msb_bits_then_bytes", "6E 03 F0 7E 00 0F 8B", "F0 F0"},
                      PackCase{"mixed_orders_share_a_byte", "6C 02 05 6E 02 A0 8B", "A5"},
                      PackCase{"flush_completes_with_zeros", "6C 00 01 8B 6C 00 01 8B", "01 01"},
                      PackCase{"flush_with_nothing_pending", "8B 7C 00 FF 8B 8B", "FF"},
                      PackCase{"clocks_read_lsb_by_default", "6B 00 01 9C 02 00 8B", "07"},
                      PackCase{"clocks_read_follows_lsb_mode", "DB 11 6B 00 01 9C 02 00 8B", "07"},
                      PackCase{"clocks_read_follows_msb_mode", "DB FF 6B 00 01 9C 02 00 8B", "E0"},
                      PackCase{"clocks_read_msb_ack_bit", "6B 00 01 9D 00 00 8B", "80"},
                      PackCase{"clocks_read_msb_byte", "6B 00 01 9D 07 00 8B", "FF"},
                      PackCase{"tms_without_read_samples_nothing", "5B 06 7F 8B", ""},
                      PackCase{"clocks_without_read_sample_nothing", "9B FF 08 8B", ""}),
    [](const ::testing::TestParamInfo<PackCase>& case_info) { return std::string(case_info.param.name); });

TEST(Packing, PartialByteWaitsAcrossBuffers)
{
    auto adapter = loopback_adapter();
    adapter->write_commands(hex("6C 03 0F"));
    EXPECT_EQ(adapter->pending_bits(), 4u);
    EXPECT_EQ(adapter->readback_size(), 0u);
    adapter->write_commands(hex("6C 03 0A 8B"));
    EXPECT_EQ(drain(*adapter), hex("AF"));
}

TEST(Packing, ClockCountForms)
{
    // SPI form: bits 8..15 of n in the second byte.
    auto adapter = loopback_adapter();
    adapter->write_commands(hex("20 F7 02 9C FF 08 20 F7 02 8B"));
    EXPECT_EQ(adapter->readback_size(), 256u); // 2048 samples
    adapter = loopback_adapter();
    adapter->write_commands(hex("20 F7 02 9C FF 01 9C 2B 01 8B"));
    EXPECT_EQ(adapter->readback_size(), 32u + 38u); // 256 + 300 samples, packed
    // JTAG form: bits 7..14 of n; 200 idle clocks are C7 01.
    auto board = make_default_board();
    board->write_commands(hex("5B 00 00"));
    const auto before = board->jtag().tap(0).tck_count();
    board->write_commands(hex("9B C7 01 9B 7F 01 9B FE FF"));
    EXPECT_EQ(board->jtag().tap(0).tck_count() - before, 200u + 128u + 32767u);
    EXPECT_TRUE(board->diagnostics().empty());
}

TEST(Fifo, BoundedAndOverflowReported)
{
    auto adapter = loopback_adapter(AdapterConfig{4, 0});
    adapter->write_commands(hex("7C 07 01 02 03 04 05 06 07 08 8B"));
    EXPECT_EQ(adapter->readback_size(), 4u);
    EXPECT_TRUE(mentions(*adapter, "FIFO full"));
    EXPECT_EQ(drain(*adapter), hex("01 02 03 04"));
    adapter->write_commands(hex("7C 00 09 8B"));
    EXPECT_EQ(drain(*adapter), hex("09"));
}

TEST(Fifo, ReadPopsAtMostTheBuffer)
{
    auto adapter = loopback_adapter(AdapterConfig{4096, 0});
    adapter->write_commands(hex("7C 04 01 02 03 04 05 8B"));
    Bytes two(2);
    EXPECT_EQ(adapter->read_data(two), 2u);
    EXPECT_EQ(two, hex("01 02"));
    Bytes big(10, 0xEE);
    EXPECT_EQ(adapter->read_data(big), 3u);
    EXPECT_EQ(Bytes(big.begin(), big.begin() + 4), hex("03 04 05 EE")); // nothing past what it had
    EXPECT_EQ(adapter->read_data(big), 0u);
    EXPECT_EQ(adapter->counts().data_reads, 3u);
}

TEST(Latency, CountGrowsOverTheConfiguredPolls)
{
    auto adapter = loopback_adapter(AdapterConfig{4096, 2});
    EXPECT_EQ(adapter->poll_count(), 0u);
    adapter->write_commands(hex("7C 09 00 01 02 03 04 05 06 07 08 09 8B"));
    EXPECT_EQ(adapter->poll_count(), 5u);
    EXPECT_EQ(adapter->poll_count(), 10u);
    EXPECT_EQ(adapter->poll_count(), 10u);

    auto slow = loopback_adapter(AdapterConfig{4096, 3});
    slow->write_commands(hex("7C 08 00 01 02 03 04 05 06 07 08 8B"));
    EXPECT_EQ(slow->poll_count(), 3u);
    EXPECT_EQ(slow->poll_count(), 6u);
    EXPECT_EQ(slow->poll_count(), 9u);
    EXPECT_EQ(slow->counts().polls, 3u);

    auto instant = loopback_adapter(AdapterConfig{4096, 0});
    instant->write_commands(hex("7C 02 00 01 02 8B"));
    EXPECT_EQ(instant->poll_count(), 3u);
}

TEST(Latency, NeverAboveWhatTheFifoHolds)
{
    auto adapter = loopback_adapter(AdapterConfig{4096, 2});
    adapter->write_commands(hex("7C 03 00 01 02 03 8B"));
    EXPECT_EQ(adapter->poll_count(), 2u);
    Bytes three(3);
    EXPECT_EQ(adapter->read_data(three), 3u);
    EXPECT_LE(adapter->poll_count(), 1u);
    EXPECT_EQ(adapter->poll_count(), 1u);
}

} // namespace
} // namespace orv::emu::test
