// Report lines and the two text helpers that build their fields. Free text
// only ever reaches a line Base64-encoded, so a field never holds a tab, a
// line feed or a byte above 0x7F.
#include <cstdio>
#include <cstring>

#include "cli/Cli.h"

namespace quorbel {
namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr const char* kSystemSourceId = "macos-system-audio";
constexpr const char* kSystemSourceName = "Audio di sistema (automatico)";
constexpr const char* kEncodingName = "Pcm";

bool IsPrintableAscii(unsigned byte) { return byte >= 0x20 && byte <= 0x7E; }

}  // namespace

std::string Base64(const char* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t length = std::strlen(text);
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        std::uint32_t group = (std::uint32_t(bytes[i]) << 16) | (std::uint32_t(bytes[i + 1]) << 8) | bytes[i + 2];
        out += kBase64Alphabet[(group >> 18) & 63];
        out += kBase64Alphabet[(group >> 12) & 63];
        out += kBase64Alphabet[(group >> 6) & 63];
        out += kBase64Alphabet[group & 63];
    }
    if (std::size_t rest = length - i; rest > 0) {
        std::uint32_t group = std::uint32_t(bytes[i]) << 16;
        if (rest == 2) {
            group |= std::uint32_t(bytes[i + 1]) << 8;
        }
        out += kBase64Alphabet[(group >> 18) & 63];
        out += kBase64Alphabet[(group >> 12) & 63];
        out += rest == 2 ? kBase64Alphabet[(group >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string OSStatusText(OSStatus status) {
    auto code = std::uint32_t(status);
    unsigned chars[4] = {code >> 24, (code >> 16) & 0xFF, (code >> 8) & 0xFF, code & 0xFF};
    for (unsigned c : chars) {
        if (!IsPrintableAscii(c)) {
            return std::to_string(status);
        }
    }
    std::string text = "'";
    for (unsigned c : chars) {
        text += char(c);
    }
    return text + "' (" + std::to_string(status) + ")";
}

void PrintDeviceLine() {
    std::printf("DEVICE\t%s\t%s\t1\t2\t48000\t16\t%s\n", Base64(kSystemSourceId).c_str(),
                Base64(kSystemSourceName).c_str(), Base64(kEncodingName).c_str());
}

void PrintInputLine(const char* uid, const char* name) {
    std::printf("INPUT\t%s\t%s\n", Base64(uid).c_str(), Base64(name).c_str());
}

void PrintFormatLine(std::uint32_t rate) {
    std::printf("FORMAT\t%u\t2\ts16le\n", rate);
    std::fflush(stdout);  // the PCM that follows bypasses the stream
}

void PrintCaptureLine(std::uint32_t rate) {
    std::fprintf(stderr, "CAPTURE\t%u\t2\t16\t%s\n", rate, kEncodingName);
    std::fflush(stderr);
}

void PrintDropLines(bool mixed, std::uint64_t systemDrops, std::uint64_t microphoneDrops) {
    if (systemDrops != 0) {
        std::fprintf(stderr, "BUFFER_DROPS\t%llu\n", static_cast<unsigned long long>(systemDrops));
    }
    if (mixed && microphoneDrops != 0) {
        std::fprintf(stderr, "MICROPHONE_BUFFER_DROPS\t%llu\n", static_cast<unsigned long long>(microphoneDrops));
    }
}

}  // namespace quorbel
