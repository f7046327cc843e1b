// Decodes standard, padded Base64, as the report lines carry it; "" for text
// outside the alphabet.
#pragma once

#include <cstdint>
#include <string>

namespace quorbel::test {

inline std::string Base64Decode(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') {
            break;
        }
        const auto value = alphabet.find(c);
        if (value == std::string::npos) {
            return "";
        }
        buffer = (buffer << 6) | std::uint32_t(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(char((buffer >> bits) & 0xFF));
        }
    }
    return out;
}

}  // namespace quorbel::test
