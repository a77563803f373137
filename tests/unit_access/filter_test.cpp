// The scan filter on its own: which INQUIRY answers it takes, and how the
// first accepted target fixes the model of the whole scan.
#include "tvq2xx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace {

using Inquiry = std::array<uint8_t, 36>;

Inquiry MakeInquiry(const std::string &vendor, const std::string &product)
{
    Inquiry d{};
    d[1] = 0x80;
    d[2] = 0x02;
    d[3] = 0x02;
    d[4] = 0x1F;
    std::memset(d.data() + 8, ' ', 28);
    std::memcpy(d.data() + 8, vendor.data(), std::min<size_t>(vendor.size(), 8));
    std::memcpy(d.data() + 16, product.data(), std::min<size_t>(product.size(), 16));
    std::memcpy(d.data() + 32, "1.00", 4);
    return d;
}

const Inquiry k210 = MakeInquiry("QEVRA", "TVQ-210CF");
const Inquiry k206 = MakeInquiry("QEVRA", "TVQ-206");

TEST(UnitAccessFilter, VendorAndFourteenProductBytesDecide)
{
    ResetScanState();
    EXPECT_EQ(MatchTarget(MakeInquiry("QEVRA", "TVQ-210CF").data()), -1);

    // Bytes 30-31 are not looked at.
    ResetScanState();
    Inquiry tail = k210;
    tail[30] = 'X';
    tail[31] = 0;
    EXPECT_EQ(MatchTarget(tail.data()), -1);

    // A difference anywhere in bytes 8-29 rejects.
    for (size_t i = 8; i < 30; ++i) {
        ResetScanState();
        Inquiry d = k210;
        d[i] ^= 0x01;
        EXPECT_EQ(MatchTarget(d.data()), 0) << "byte " << i;
        EXPECT_EQ(ScanModel(), 0u);
        EXPECT_EQ(ScanTargets(), 0u);
    }

    ResetScanState();
    EXPECT_EQ(MatchTarget(MakeInquiry("QEVRA", "TVQ-210").data()), 0);
    EXPECT_EQ(MatchTarget(MakeInquiry("qevra", "TVQ-210CF").data()), 0);
    EXPECT_EQ(MatchTarget(MakeInquiry("OTHERVND", "TVQ-210CF").data()), 0);
    EXPECT_EQ(MatchTarget(nullptr), 0);
    EXPECT_EQ(ScanTargets(), 0u);
}

TEST(UnitAccessFilter, FirstModelFixesTheScanAndCountsAreCapped)
{
    ResetScanState();
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(MatchTarget(k210.data()), -1) << "target " << i;
    EXPECT_EQ(ScanModel(), uint32_t(ModelTvq210));
    // The other model is ignored without being counted.
    EXPECT_EQ(MatchTarget(k206.data()), 0);
    EXPECT_EQ(ScanTargets(), 11u);
    // The 12th of the model is rejected but counted.
    EXPECT_EQ(MatchTarget(k210.data()), 0);
    EXPECT_EQ(ScanTargets(), 12u);
    EXPECT_EQ(MatchTarget(k210.data()), 0);
    EXPECT_EQ(ScanModel(), uint32_t(ModelTvq210));

    ResetScanState();
    EXPECT_EQ(MatchTarget(MakeInquiry("OTHERVND", "DISK").data()), 0);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(MatchTarget(k206.data()), -1) << "target " << i;
    EXPECT_EQ(MatchTarget(k210.data()), 0);
    EXPECT_EQ(MatchTarget(k206.data()), 0);
    EXPECT_EQ(ScanModel(), uint32_t(ModelTvq206));
    EXPECT_EQ(ScanTargets(), 8u);

    // A new attempt starts over.
    ResetScanState();
    EXPECT_EQ(ScanModel(), 0u);
    EXPECT_EQ(MatchTarget(k210.data()), -1);
    EXPECT_EQ(ScanModel(), uint32_t(ModelTvq210));
}

}  // namespace
