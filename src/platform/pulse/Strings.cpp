// Owned strings handed out by property reads, and fresh UUIDs.
#include <array>
#include <cstdint>
#include <random>

#include "platform/pulse/PulseBackend.h"

namespace quorbel {

struct OpaquePlatformString {
    std::string text;
};

const char* UTF8String(CFStringRef string) { return string != nullptr ? string->text.c_str() : nullptr; }

void CFRelease(CFStringRef string) { delete string; }

std::string NewUUIDString() {
    std::random_device device;
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        std::uint32_t word = device();
        for (std::size_t k = 0; k < 4; ++k) {
            bytes[i + k] = std::uint8_t(word >> (8 * k));
        }
    }
    bytes[6] = std::uint8_t((bytes[6] & 0x0F) | 0x40);  // version 4: random
    bytes[8] = std::uint8_t((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

namespace pulse {

CFStringRef MakeString(std::string text) { return new OpaquePlatformString{std::move(text)}; }

}  // namespace pulse
}  // namespace quorbel
