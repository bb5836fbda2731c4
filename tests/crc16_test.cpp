// The CRC-16 methods against the byte-at-a-time definition and each other, on
// random lengths, alignments and start values.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "mpeg/crc16.hpp"

namespace framelint::test {
namespace {

std::vector<crc16_method> available_methods()
{
    std::vector<crc16_method> methods;
    for (const crc16_method m : {crc16_method::table, crc16_method::clmul128, crc16_method::clmul256}) {
        if (crc16_method_available(m)) {
            methods.push_back(m);
        }
    }
    return methods;
}

TEST(Crc16, EveryMethodAgreesWithTheDefinitionOnRandomLengthsAlignmentsAndStarts)
{
    std::mt19937 rng(12);
    std::vector<std::uint8_t> data(6000);
    for (auto& b : data) {
        b = static_cast<std::uint8_t>(rng());
    }
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 600; ++n) {
        lengths.push_back(n);  // every length around the methods' thresholds and block sizes
    }
    for (int i = 0; i < 300; ++i) {
        lengths.push_back(rng() % (data.size() - 64));
    }
    for (const crc16_method m : available_methods()) {
        SCOPED_TRACE(static_cast<int>(m));
        for (const std::size_t n : lengths) {
            const std::size_t offset = rng() % 64;
            const auto start = static_cast<std::uint16_t>(rng());
            const std::uint8_t* p = data.data() + offset;
            ASSERT_EQ(crc16_arc_by(m, p, n, start), crc16_arc_bytewise(p, n, start)) << n << " at " << offset;
            ASSERT_EQ(crc16_arc_by(m, p, n), crc16_arc_bytewise(p, n)) << n << " at " << offset;
        }
    }
}

TEST(Crc16, CheckValueAndContinuationHoldForEveryMethodAndTheDefault)
{
    const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    std::vector<std::uint8_t> zeros(4096, 0);
    std::vector<std::uint8_t> ones(4096, 0xFF);
    for (const crc16_method m : available_methods()) {
        EXPECT_EQ(crc16_arc_by(m, check, sizeof check), 0xBB3D);
        // All zeros from a zero start stay zero; all ones do not.
        EXPECT_EQ(crc16_arc_by(m, zeros.data(), zeros.size()), 0);
        EXPECT_EQ(crc16_arc_by(m, ones.data(), ones.size()), crc16_arc_bytewise(ones.data(), ones.size()));
        // A message split anywhere gives the CRC of the whole.
        for (const std::size_t split : {std::size_t{1}, std::size_t{17}, std::size_t{300}, std::size_t{4000}}) {
            const std::uint16_t first = crc16_arc_by(m, ones.data(), split);
            EXPECT_EQ(crc16_arc_by(m, ones.data() + split, ones.size() - split, first),
                      crc16_arc_bytewise(ones.data(), ones.size()));
        }
    }
    EXPECT_EQ(crc16_arc(check, sizeof check), 0xBB3D);
    EXPECT_TRUE(crc16_method_available(crc16_fastest_method()));
}

}  // namespace
}  // namespace framelint::test
