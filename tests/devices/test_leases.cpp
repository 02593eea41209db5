// The session's leases on the emulated adapter, in-process: each user of the
// adapter (a flash, a chain, an I2C bus, the raw JTAG and SPI ports) sends
// its set-up exactly when another user, the caller's own work or a failure
// came in between, and reads its own data afterwards; the raw ports' calls
// refuse bad arguments before anything is sent, and put on the wire what
// their callers (the bridges, SVF playback, Python's ports) rely on.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <orv_devices.h>
#include <orv_lumo_spi.h>
#include <orv_tapwire.h>

#include "lib/devices/session/jtag_port.hpp"
#include "lib/wire/command_stream.hpp"
#include "lib/wire/wire.hpp"
#include "sim/emulator/adapter.hpp"
#include "sim/emulator/inproc_usb.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The emulated adapter, with every OUT transfer kept and read-back reads
// that can be made to stall (leaving their bytes in the adapter).
class Recorder final : public orv::seam::TransferDevice {
public:
    explicit Recorder(orv::emu::Adapter& adapter) : inner_(adapter) {}

    orv::seam::Outcome out(std::span<const std::uint8_t> stream, unsigned timeout) noexcept override
    {
        outs.emplace_back(stream.begin(), stream.end());
        return inner_.out(stream, timeout);
    }
    orv::seam::CountOutcome poll_count(std::size_t length, unsigned timeout) noexcept override
    {
        ++polls;
        return inner_.poll_count(length, timeout);
    }
    orv::seam::Outcome read_data(std::span<std::uint8_t> buffer, unsigned timeout) noexcept override
    {
        ++reads;
        if (stall_reads > 0) {
            --stall_reads;
            return {LIBUSB_ERROR_PIPE, 0};
        }
        return inner_.read_data(buffer, timeout);
    }

    void forget()
    {
        outs.clear();
        polls = reads = 0;
    }
    [[nodiscard]] std::size_t transfers() const { return outs.size() + polls + reads; }
    // Set-ups sent: each starts with the clock divisor (tapwire_tckset,
    // lumo_spi_set_config, lumo_iic_init), and nothing else does.
    [[nodiscard]] int setups() const
    {
        int n = 0;
        for (const Bytes& s : outs) {
            n += !s.empty() && (s[0] == orv::OP_SET_CLOCK_FAST || s[0] == orv::OP_SET_CLOCK_SLOW) ? 1 : 0;
        }
        return n;
    }

    std::vector<Bytes> outs;
    std::size_t polls = 0;
    std::size_t reads = 0;
    int stall_reads = 0;

private:
    orv::emu::InprocUsb inner_;
};

constexpr std::uint64_t ZYNQ_IDCODES = std::uint64_t{0x03727093} << 32 | 0x4BA00477;
const Bytes JEDEC_ID = {0xEF, 0x40, 0x16};

// Test-Logic-Reset, then Shift-DR, 64 bits sampled, back to Run-Test/Idle:
// both IDCODEs of the default board's chain.
Bytes idcode_clocks()
{
    Bytes clocks(5, ORVDEV_CLOCK_TMS);
    for (const bool tms : {false, true, false, false}) {
        clocks.push_back(tms ? ORVDEV_CLOCK_TMS : 0);
    }
    for (int i = 0; i < 64; ++i) {
        clocks.push_back(static_cast<std::uint8_t>(ORVDEV_CLOCK_SAMPLE | (i == 63 ? ORVDEV_CLOCK_TMS : 0)));
    }
    clocks.push_back(ORVDEV_CLOCK_TMS);
    clocks.push_back(0);
    return clocks;
}

// One TDO level a byte, the first the lowest bit.
std::uint64_t levels_value(std::span<const std::uint8_t> levels)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        v |= std::uint64_t{levels[i]} << i;
    }
    return v;
}

// Bytes of a scan's TDO, byte 0 the lowest.
std::uint64_t bytes_value(std::span<const std::uint8_t, 8> bytes)
{
    std::uint64_t v = 0;
    for (std::size_t i = 8; i-- > 0;) {
        v = v << 8 | bytes[i];
    }
    return v;
}

// One idle-clock command in the JTAG count form.
Bytes idle_command(unsigned clocks)
{
    return {orv::OP_CLOCKS, static_cast<std::uint8_t>((clocks - 1) & 0xFF),
            static_cast<std::uint8_t>(clocks >> 7)};
}

class Leases : public ::testing::Test {
protected:
    Leases() : board(orv::emu::make_default_board()), usb(*board)
    {
        orvdev_session_options options{};
        orvdev_session_options_init(&options);
        options.timeout_ms = 20;
        EXPECT_EQ(orvdev_session_open(usb.handle(), &options, &session, &report), 0);
    }
    ~Leases() override
    {
        orvdev_spi_port_close(spi);
        orvdev_jtag_port_close(port);
        orvdev_i2c_close(bus);
        orvdev_jtag_close(chain);
        orvdev_flash_close(flash);
        orvdev_session_close(session);
    }

    // Every user of the adapter: the handles send their set-up as they open,
    // the ports do not.
    void open_all()
    {
        ASSERT_EQ(orvdev_flash_open(session, nullptr, &flash, &report), 0) << report.message;
        ASSERT_EQ(orvdev_jtag_open(session, nullptr, &chain, &report), 0) << report.message;
        ASSERT_EQ(orvdev_i2c_open(session, nullptr, &bus, &report), 0) << report.message;
        ASSERT_EQ(orvdev_jtag_port_open(session, nullptr, &port, &report), 0) << report.message;
        ASSERT_EQ(orvdev_spi_port_open(session, nullptr, &spi, &report), 0) << report.message;
    }

    // One operation of a user, checked against the board; 0 or its result.
    std::int32_t run(char user)
    {
        std::int32_t rc = 0;
        switch (user) {
        case 'F': { // the flash: its first 16 bytes
            std::array<std::uint8_t, 16> data{};
            rc = orvdev_flash_read(flash, 0, data.data(), data.size(), &report);
            if (rc == 0) {
                EXPECT_TRUE(std::equal(data.begin(), data.end(), board->flash_memory().begin()));
            }
            break;
        }
        case 'C': { // the chain: a raw DR scan after a reset
            std::array<std::uint8_t, 8> tdi{}, tdo{};
            const orvdev_raw_scan scan{ORVDEV_JTAG_DR, 64, tdi.data(), 1, 0, nullptr};
            rc = orvdev_jtag_raw_scan(chain, &scan, tdo.data(), &report);
            if (rc == 0) {
                EXPECT_EQ(bytes_value(tdo), ZYNQ_IDCODES);
            }
            break;
        }
        case 'I': { // the I2C bus: the identity register of the device at 0x68
            std::uint8_t id = 0;
            rc = orvdev_i2c_read_reg(bus, 0x68, 0x75, 1, &id, 1, &report);
            if (rc == 0) {
                EXPECT_EQ(id, 0x68);
            }
            break;
        }
        case 'J': { // the raw JTAG port: both IDCODEs, clock by clock
            const Bytes clocks = idcode_clocks();
            Bytes tdo(64, 0xAA);
            rc = orvdev_jtag_clocks(port, clocks.data(), clocks.size(), tdo.data(), tdo.size(), &report);
            if (rc == 0) {
                EXPECT_EQ(levels_value(tdo), ZYNQ_IDCODES);
            }
            break;
        }
        case 'S': { // the raw SPI port: the flash's JEDEC ID in one window
            const std::uint8_t command = 0x9F;
            Bytes id(3, 0);
            rc = orvdev_spi_transfer(spi, &command, 1, id.data(), id.size(), &report);
            if (rc == 0) {
                EXPECT_EQ(id, JEDEC_ID);
            }
            break;
        }
        case 'T': // the caller's own work, at another clock, and said so
            rc = tapwire_tckset(usb.handle(), 3000, 20);
            orvdev_session_touch(session);
            break;
        case 'P': { // the caller's own scan on the raw JTAG port's set-up
            rc = orvdev_jtag_port_claim(port, &report);
            std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
            std::array<std::uint8_t, 8> tdi{}, tdo{};
            if (rc == 0) {
                rc = tapwire_reset(usb.handle(), &state, 20);
            }
            if (rc == 0) {
                rc = tapwire_shift_dr(usb.handle(), &state, 64, tdi.data(), tdo.data(), 0, 20);
            }
            if (rc == 0) {
                EXPECT_EQ(bytes_value(tdo), ZYNQ_IDCODES);
            }
            break;
        }
        default:
            ADD_FAILURE() << "no user " << user;
        }
        return rc;
    }

    std::unique_ptr<orv::emu::Adapter> board;
    Recorder usb;
    orvdev_session* session = nullptr;
    orvdev_flash* flash = nullptr;
    orvdev_jtag* chain = nullptr;
    orvdev_i2c* bus = nullptr;
    orvdev_jtag_port* port = nullptr;
    orvdev_spi_port* spi = nullptr;
    orvdev_report report{};
};

// Whose set-up the adapter holds after a user's operation ('T': nobody's; a
// claim for the caller's own scan: the port's).
char holder_after(char user)
{
    return user == 'T' ? '-' : user == 'P' ? 'J' : user;
}

TEST_F(Leases, EachUserSendsItsSetUpExactlyWhenAnotherUsedTheAdapterInBetween)
{
    // Users one after another; 'T' is the caller's own work (a clock of its
    // own) said with orvdev_session_touch, 'P' a scan of the caller's on the
    // raw JTAG port's set-up (orvdev_jtag_port_claim).
    const char* sequences[] = {
        "FFCCIIJJSS", "JSJSJS", "FCIJSFCIJS", "JJTJJ", "STS", "FTF", "CTCI", "PJPJ", "PPSPP", "JPTP", "IITII",
    };
    for (const char* sequence : sequences) {
        SCOPED_TRACE(sequence);
        open_all();
        char holder = 'I'; // the last handle to open
        for (const char* user = sequence; *user != '\0'; ++user) {
            usb.forget();
            ASSERT_EQ(run(*user), 0) << *user << ": " << report.message;
            // The caller's own clock counts as one set-up-like command.
            const int expected = *user == 'T' ? 1 : holder_after(*user) != holder ? 1 : 0;
            EXPECT_EQ(usb.setups(), expected) << *user << " after " << holder;
            holder = holder_after(*user);
        }
        orvdev_spi_port_close(spi);
        orvdev_jtag_port_close(port);
        orvdev_i2c_close(bus);
        orvdev_jtag_close(chain);
        orvdev_flash_close(flash);
        spi = nullptr;
        port = nullptr;
        bus = nullptr;
        chain = nullptr;
        flash = nullptr;
    }
}

TEST_F(Leases, AfterAFailureTheNextOperationSendsItsSetUpAgainAndReadsNothingStale)
{
    open_all();
    // A stalled data read leaves the operation's bytes in the adapter; the
    // session empties them, and whoever comes next sends its set-up.
    for (const char user : {'F', 'C', 'I', 'J', 'S', 'P'}) {
        for (const char next : {user, 'F', 'J', 'S'}) {
            SCOPED_TRACE(std::string(1, user) + " then " + next);
            ASSERT_EQ(run(user), 0) << report.message;
            usb.stall_reads = 1;
            EXPECT_NE(run(user), 0);
            usb.stall_reads = 0;
            if (user == 'P') {
                orvdev_session_recover(session); // the caller's scan failed: its part of the discipline
            }
            usb.forget();
            ASSERT_EQ(run(next), 0) << report.message;
            EXPECT_EQ(usb.setups(), 1);
        }
    }
}

TEST_F(Leases, TheRawPortsRefuseBadArgumentsBeforeAnythingIsSent)
{
    open_all();
    const Bytes good = idcode_clocks();
    Bytes tdo(64);
    std::uint8_t byte = 0;
    orvdev_jtag_port* none = nullptr;
    const auto jtag_options = [](std::uint32_t tck_khz, std::uint32_t max_readback) {
        orvdev_jtag_port_options o{};
        orvdev_jtag_port_options_init(&o);
        o.tck_khz = tck_khz;
        o.max_readback = max_readback;
        return o;
    };
    const auto spi_options = [](std::uint32_t clock_khz, std::uint32_t mode) {
        orvdev_spi_port_options o{};
        orvdev_spi_port_options_init(&o);
        o.clock_khz = clock_khz;
        o.mode = mode;
        return o;
    };
    const orvdev_jtag_port_options slow_readback = jtag_options(1000, 0);
    const orvdev_jtag_port_options no_tck = jtag_options(0, 512);
    const orvdev_spi_port_options mode1 = spi_options(6000, 1);
    const orvdev_spi_port_options no_clock = spi_options(0, 0);
    orvdev_spi_port* no_spi = nullptr;
    const Bytes six(6, 0x03);
    Bytes big(513);
    const std::map<std::string, std::function<std::int32_t()>> calls = {
        {"jtag port without session",
         [&] { return orvdev_jtag_port_open(nullptr, nullptr, &none, &report); }},
        {"jtag port nowhere", [&] { return orvdev_jtag_port_open(session, nullptr, nullptr, &report); }},
        {"read-back bound 0", [&] { return orvdev_jtag_port_open(session, &slow_readback, &none, &report); }},
        {"TCK 0", [&] { return orvdev_jtag_port_open(session, &no_tck, &none, &report); }},
        {"clocks without port",
         [&] {
             return orvdev_jtag_clocks(nullptr, good.data(), good.size(), tdo.data(), tdo.size(), &report);
         }},
        {"no clocks", [&] { return orvdev_jtag_clocks(port, nullptr, 3, tdo.data(), tdo.size(), &report); }},
        {"a clock with other bits",
         [&] {
             const std::uint8_t bad[] = {ORVDEV_CLOCK_TMS, 8};
             return orvdev_jtag_clocks(port, bad, 2, tdo.data(), tdo.size(), &report);
         }},
        {"no room for TDO",
         [&] { return orvdev_jtag_clocks(port, good.data(), good.size(), tdo.data(), 63, &report); }},
        {"no TDO buffer",
         [&] { return orvdev_jtag_clocks(port, good.data(), good.size(), nullptr, 64, &report); }},
        {"TCK without port", [&] { return orvdev_jtag_port_set_tck(nullptr, 1000000, nullptr, &report); }},
        {"pins without port", [&] { return orvdev_jtag_port_set_pins(nullptr, 0, 0, &report); }},
        {"TRST out of range", [&] { return orvdev_jtag_port_set_trst(port, 3, &report); }},
        {"claim without port", [&] { return orvdev_jtag_port_claim(nullptr, &report); }},
        {"spi port without session",
         [&] { return orvdev_spi_port_open(nullptr, nullptr, &no_spi, &report); }},
        {"spi mode 1", [&] { return orvdev_spi_port_open(session, &mode1, &no_spi, &report); }},
        {"spi clock 0", [&] { return orvdev_spi_port_open(session, &no_clock, &no_spi, &report); }},
        {"window without port", [&] { return orvdev_spi_transfer(nullptr, &byte, 1, &byte, 1, &report); }},
        {"no write buffer", [&] { return orvdev_spi_transfer(spi, nullptr, 1, &byte, 1, &report); }},
        {"no read buffer", [&] { return orvdev_spi_transfer(spi, &byte, 1, nullptr, 1, &report); }},
        {"six bytes then 507",
         [&] { return orvdev_spi_transfer(spi, six.data(), 6, big.data(), 507, &report); }},
        {"513 read", [&] { return orvdev_spi_transfer(spi, &byte, 1, big.data(), 513, &report); }},
        {"spi clock without port",
         [&] { return orvdev_spi_port_set_clock(nullptr, 1000000, nullptr, &report); }},
        {"spi claim without port", [&] { return orvdev_spi_port_claim(nullptr, &report); }},
    };
    for (const auto& [name, call] : calls) {
        usb.forget();
        EXPECT_EQ(call(), ORVDEV_ERROR_INVALID_ARGUMENT) << name;
        EXPECT_EQ(usb.transfers(), 0u) << name;
        EXPECT_EQ(report.code, ORVDEV_ERROR_INVALID_ARGUMENT) << name;
        EXPECT_NE(report.message[0], '\0') << name;
    }
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(no_spi, nullptr);
    // Nothing to do is no transfer either.
    usb.forget();
    EXPECT_EQ(orvdev_jtag_clocks(port, nullptr, 0, nullptr, 0, &report), 0);
    EXPECT_EQ(orvdev_spi_transfer(spi, nullptr, 0, nullptr, 0, &report), 0);
    EXPECT_EQ(usb.transfers(), 0u);
}

TEST_F(Leases, AJtagPortSendsAClockOrPinChangeAloneWhileItHoldsTheAdapterElseWithItsSetUp)
{
    open_all();
    ASSERT_EQ(run('J'), 0);
    orvdev_clock chosen{};
    usb.forget();
    ASSERT_EQ(orvdev_jtag_port_set_tck(port, 7000000, &chosen, &report), 0);
    // 60 MHz / 9: the fastest clock not above 7 MHz.
    EXPECT_EQ(chosen.divisor, 9u);
    EXPECT_EQ(orvdev_clock_period_ns(chosen), 150u);
    EXPECT_EQ(usb.outs, (std::vector<Bytes>{{orv::OP_SET_CLOCK_FAST, 9}}));

    usb.forget();
    ASSERT_EQ(orvdev_jtag_port_set_trst(port, ORVDEV_TRST_ON, &report), 0);
    const std::uint8_t direction = (orv::JTAG_DEFAULT_DIRECTION | orv::JTAG_PIN_TRST) & 0xFF;
    const std::uint8_t level = orv::JTAG_DEFAULT_LEVEL & 0xFF;
    EXPECT_EQ(usb.outs, (std::vector<Bytes>{{orv::OP_SET_IO_LOW, direction, level}}));
    usb.forget();
    ASSERT_EQ(orvdev_jtag_port_set_trst(port, ORVDEV_TRST_Z, &report), 0);
    const std::uint8_t released = orv::JTAG_DEFAULT_DIRECTION & 0xFF;
    const std::uint8_t high = (orv::JTAG_DEFAULT_LEVEL | orv::JTAG_PIN_TRST) & 0xFF;
    EXPECT_EQ(usb.outs, (std::vector<Bytes>{{orv::OP_SET_IO_LOW, released, high}}));

    // Another user in between: the changes wait for the set-up, which has them.
    ASSERT_EQ(run('S'), 0);
    usb.forget();
    ASSERT_EQ(orvdev_jtag_port_set_tck(port, 1000000, &chosen, &report), 0);
    ASSERT_EQ(orvdev_jtag_port_set_trst(port, ORVDEV_TRST_OFF, &report), 0);
    ASSERT_EQ(usb.outs.size(), 2u); // tapwire_tckset and tapwire_ioset, nothing more
    const auto divisor = orv::clock_divisor_command(1000);
    EXPECT_EQ(usb.outs[0], Bytes(divisor.begin(), divisor.end()));
    EXPECT_EQ(Bytes(usb.outs[1].begin(), usb.outs[1].begin() + 3),
              (Bytes{orv::OP_SET_IO_LOW, direction, high}));
    usb.forget();
    ASSERT_EQ(run('J'), 0);
    EXPECT_EQ(usb.setups(), 0);

    orvdev_jtag_port_stats stats{};
    orvdev_jtag_port_get_stats(port, &stats);
    EXPECT_EQ(stats.runs, 2u);
    EXPECT_EQ(stats.clocks, 2 * idcode_clocks().size());
    EXPECT_EQ(stats.out_transfers, 2u);
    EXPECT_EQ(stats.exchanges, 2u);
    EXPECT_EQ(stats.readback_bytes, 2 * 8u + 2);
}

TEST_F(Leases, IdleClocksGoOutInTheCountFormOnceTheTmsLineIsLow)
{
    orv::dev::JtagPort jtag(
        *session, orv::dev::JtagSetup{1000, orv::JTAG_DEFAULT_DIRECTION, orv::JTAG_DEFAULT_LEVEL}, 512);
    // After the set-up TMS is high: the first clock goes through the engine.
    jtag.idle_clocks(70000);
    ASSERT_EQ(usb.outs.size(), 4u); // the set-up's two, the one clock, the count form
    EXPECT_EQ(usb.outs[2][0], orv::OP_TMS_OUT);
    Bytes expected;
    for (const unsigned n : {32767U, 32767U, 69999U - 2 * 32767}) {
        const Bytes command = idle_command(n);
        expected.insert(expected.end(), command.begin(), command.end());
    }
    EXPECT_EQ(usb.outs[3], expected);
    usb.forget();
    jtag.idle_clocks(10);
    ASSERT_EQ(usb.outs.size(), 1u);
    EXPECT_EQ(usb.outs[0][0], orv::OP_CLOCKS);
    EXPECT_EQ(jtag.stats().clocks, 70010u);
    EXPECT_EQ(jtag.control_transfers(), 2u); // the set-up's
    jtag.set_trst(orv::dev::Trst::off);
    EXPECT_EQ(jtag.control_transfers(), 3u);
}

TEST_F(Leases, AnSpiWindowIsOneTransactionOfTheBytesInTheOrderWritten)
{
    open_all();
    const auto memory = board->flash_memory();
    struct Case {
        const char* what;
        Bytes write;
        std::size_t read;
        Bytes expected;
    };
    const Case cases[] = {
        {"command, then read", {0x9F}, 3, JEDEC_ID},
        {"command and address, then read",
         {0x03, 0x00, 0x00, 0x10},
         4,
         Bytes(memory.begin() + 16, memory.begin() + 20)},
        {"six bytes, then read (full duplex)",
         {0x03, 0x00, 0x00, 0x10, 0x00, 0x00},
         4,
         Bytes(memory.begin() + 18, memory.begin() + 22)},
        {"write only", {0x04}, 0, {}},
    };
    for (const Case& c : cases) {
        Bytes in(c.read);
        usb.forget();
        ASSERT_EQ(orvdev_spi_transfer(spi, c.write.data(), c.write.size(), in.data(), in.size(), &report), 0)
            << c.what << ": " << report.message;
        EXPECT_EQ(in, c.expected) << c.what;
    }
    EXPECT_EQ(orvdev_spi_port_transfers(spi), 4u);

    // Address bytes go out in the order written in either bit order.
    for (const std::int32_t lsb_first : {0, 1}) {
        orvdev_spi_port_options options{};
        orvdev_spi_port_options_init(&options);
        options.lsb_first = lsb_first;
        orvdev_spi_port* other = nullptr;
        ASSERT_EQ(orvdev_spi_port_open(session, &options, &other, &report), 0);
        const Bytes write = {0x0B, 0x11, 0x22, 0x33};
        Bytes in(2);
        usb.forget();
        ASSERT_EQ(orvdev_spi_transfer(other, write.data(), write.size(), in.data(), in.size(), &report), 0);
        ASSERT_EQ(usb.outs.size(), 2u); // the set-up, the window
        const Bytes& window = usb.outs[1];
        const Bytes address = {0x11, 0x22, 0x33};
        EXPECT_NE(std::search(window.begin(), window.end(), address.begin(), address.end()), window.end())
            << "lsb_first " << lsb_first;
        orvdev_spi_port_close(other);
    }
}

} // namespace
