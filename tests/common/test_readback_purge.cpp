// The read-back purge against the scripted adapter: what it polls and reads,
// when it calls the read-back empty, and where it stops.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "lib/wire/readback_purge.hpp"
#include "lib/wire/result_codes.hpp"
#include "tests/support/fake_usb.hpp"

namespace orv {
namespace {

using test::Bytes;
using test::FakeAdapter;

struct PurgeCase {
    const char* name;
    std::function<void(FakeAdapter&)> script;
    std::int32_t result;
    std::uint64_t purged;
    std::vector<int> data_read_lengths; // what each read of EP_READBACK_DATA_IN asked for
};

void PrintTo(const PurgeCase& c, std::ostream* os)
{
    *os << c.name;
}

class Purge : public ::testing::TestWithParam<PurgeCase> {};

TEST_P(Purge, PollsReadsAndStops)
{
    const PurgeCase& c = GetParam();
    FakeAdapter fake;
    c.script(fake);
    std::uint64_t purged = 99;
    EXPECT_EQ(purge_readback(fake.handle(), 7, purged, 8), c.result);
    EXPECT_EQ(purged, c.purged);
    std::vector<int> lengths;
    for (const auto& t : fake.log()) {
        EXPECT_EQ(t.timeout, 7u);
        if (t.endpoint == EP_READBACK_DATA_IN) {
            lengths.push_back(t.length);
        }
    }
    EXPECT_EQ(lengths, c.data_read_lengths);
    EXPECT_TRUE(fake.script_done());
}

INSTANTIATE_TEST_SUITE_P(
    AllPaths, Purge,
    ::testing::Values(
        PurgeCase{"EmptyAdapterTakesFourZeroPolls",
                  [](FakeAdapter& f) { f.count(0, PURGE_EMPTY_POLLS); },
                  RESULT_OK,
                  0,
                  {}},
        // Whole packets are asked for, so bytes arriving meanwhile cannot overflow the read.
        PurgeCase{"HeldBytesAreReadInWholePackets",
                  [](FakeAdapter& f) {
                      f.count(3).data({1, 2, 3}).count(0, PURGE_EMPTY_POLLS);
                  },
                  RESULT_OK,
                  3,
                  {BULK_PACKET_SIZE}},
        // A count that lags shows 0 on its first polls; three zeros do not end the purge.
        PurgeCase{"CountThatLagsThreePolls",
                  [](FakeAdapter& f) {
                      f.count(0, PURGE_EMPTY_POLLS - 1).count(2).data({7, 7}).count(0, PURGE_EMPTY_POLLS);
                  },
                  RESULT_OK,
                  2,
                  {BULK_PACKET_SIZE}},
        PurgeCase{"CountShownInPartsOverPolls",
                  [](FakeAdapter& f) {
                      f.count(600).data(Bytes(600, 1)).count(0).count(100).data(Bytes(100, 2)).count(0, 4);
                  },
                  RESULT_OK,
                  700,
                  {2 * BULK_PACKET_SIZE, BULK_PACKET_SIZE}},
        PurgeCase{"ImplausibleCountIsReadInBoundedChunks",
                  [](FakeAdapter& f) { f.count(0xFFFFFFFFu).data(Bytes(10, 0)).count(0, 4); },
                  RESULT_OK,
                  10,
                  {1 << 16}},
        PurgeCase{"AdapterThatKeepsProducingEndsAtTheRoundLimit",
                  [](FakeAdapter& f) {
                      for (int i = 0; i < 8; ++i) {
                          f.count(1).data({0});
                      }
                  },
                  RESULT_TIMEOUT, 8, std::vector<int>(8, BULK_PACKET_SIZE)},
        PurgeCase{"CountThatIsNeverDeliveredEndsAtTheRoundLimit",
                  [](FakeAdapter& f) {
                      for (int i = 0; i < 8; ++i) {
                          f.count(5).data({});
                      }
                  },
                  RESULT_TIMEOUT, 0, std::vector<int>(8, BULK_PACKET_SIZE)},
        PurgeCase{"FailedPollEndsIt",
                  [](FakeAdapter& f) { f.count(0).poll(LIBUSB_ERROR_NO_DEVICE, 0, 0); },
                  LIBUSB_ERROR_NO_DEVICE,
                  0,
                  {}},
        PurgeCase{"ShortPollEndsIt", [](FakeAdapter& f) { f.poll(0, 3, 0); }, RESULT_SHORT_TRANSFER, 0, {}},
        PurgeCase{"FailedDataReadEndsItButCountsWhatMoved",
                  [](FakeAdapter& f) {
                      f.count(4).data({1, 2}, LIBUSB_ERROR_PIPE);
                  },
                  LIBUSB_ERROR_PIPE,
                  2,
                  {BULK_PACKET_SIZE}},
        PurgeCase{"OverflowedDataReadStillEmptiesTheAdapter",
                  [](FakeAdapter& f) {
                      f.count(4).data(Bytes(4, 1), LIBUSB_ERROR_OVERFLOW).count(0, PURGE_EMPTY_POLLS);
                  },
                  RESULT_OK,
                  4,
                  {BULK_PACKET_SIZE}}),
    [](const ::testing::TestParamInfo<PurgeCase>& param) { return std::string(param.param.name); });

TEST(PurgeRefusals, TimeoutZeroAndNullHandleTransferNothing)
{
    FakeAdapter fake; // no script: any transfer fails the test
    std::uint64_t purged = 99;
    EXPECT_EQ(purge_readback(fake.handle(), 0, purged), RESULT_INVALID_PARAM);
    EXPECT_EQ(purged, 0u);
    EXPECT_EQ(purge_readback(nullptr, 10, purged), RESULT_INVALID_PARAM);
    EXPECT_TRUE(fake.log().empty());
}

} // namespace
} // namespace orv
