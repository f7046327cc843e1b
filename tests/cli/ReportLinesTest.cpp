#include <gtest/gtest.h>

#include <string>

#include "cli/Cli.h"
#include "support/Base64Decode.h"

namespace quorbel {
namespace {

TEST(Base64, MatchesTheRfc4648TestVectors) {
    EXPECT_EQ(Base64(""), "");
    EXPECT_EQ(Base64("f"), "Zg==");
    EXPECT_EQ(Base64("fo"), "Zm8=");
    EXPECT_EQ(Base64("foo"), "Zm9v");
    EXPECT_EQ(Base64("foob"), "Zm9vYg==");
    EXPECT_EQ(Base64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(Base64("foobar"), "Zm9vYmFy");
}

TEST(Base64, UsesPlusAndSlashAndEncodesHighBytes) {
    EXPECT_EQ(Base64("\xfb\xff"), "+/8=");
    EXPECT_EQ(Base64("\xc3\xa8 perch\xc3\xa9"), "w6ggcGVyY2jDqQ==");
    EXPECT_EQ(Base64("macos-system-audio"), "bWFjb3Mtc3lzdGVtLWF1ZGlv");
}

TEST(Base64, LongInputsStayOnOneLine) {
    const std::string sixty(60, 'x');
    const std::string encoded = Base64(sixty.c_str());
    EXPECT_EQ(encoded.size(), 80u);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);

    std::string all;
    for (int round = 0; round < 40; ++round) {
        for (int byte = 1; byte < 256; ++byte) {
            all += char(byte);
        }
    }
    const std::string long64 = Base64(all.c_str());
    EXPECT_EQ(long64.size(), (all.size() + 2) / 3 * 4);
    EXPECT_EQ(long64.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_EQ(test::Base64Decode(long64), all);
}

TEST(OSStatusText, ShowsFourCharacterCodesWithTheirValue) {
    EXPECT_EQ(OSStatusText(0x77686F3F), "'who?' (2003332927)");
    EXPECT_EQ(OSStatusText(560227702), "'!dev' (560227702)");
    EXPECT_EQ(OSStatusText(kAudioHardwareNotRunningError), "'stop' (1937010544)");
}

TEST(OSStatusText, ShowsOtherValuesAsBareNumbers) {
    EXPECT_EQ(OSStatusText(0x7F414243), "2134983235");
    EXPECT_EQ(OSStatusText(-50), "-50");
    EXPECT_EQ(OSStatusText(0), "0");
    EXPECT_EQ(OSStatusText(INT32_MIN), "-2147483648");
    EXPECT_EQ(OSStatusText(INT32_MAX), "2147483647");
}

TEST(OSStatusText, PrintableMeansSpaceThroughTilde) {
    EXPECT_EQ(OSStatusText(0x20202020), "'    ' (538976288)");
    EXPECT_EQ(OSStatusText(0x7E7E7E7E), "'~~~~' (2122219134)");
    EXPECT_EQ(OSStatusText(0x1F414243), "524370499");
    EXPECT_EQ(OSStatusText(0x4142437F), "1094861695");
    EXPECT_EQ(OSStatusText(0x41421F43), "1094852419");
}

}  // namespace
}  // namespace quorbel
