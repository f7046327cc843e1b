// The property list travels inside the built executable.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

std::string DumpSection() {
    char path[] = "/tmp/quorbel-plist-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        return "";
    }
    close(fd);
    const std::string command =
        std::string("objcopy --dump-section __info_plist=") + path + " '" + QUORBEL_BINARY + "' /dev/null";
    std::string text;
    if (std::system(command.c_str()) == 0) {
        std::ifstream in(path);
        std::stringstream buffer;
        buffer << in.rdbuf();
        text = buffer.str();
    }
    unlink(path);
    return text;
}

TEST(InfoPlist, TheBinaryCarriesExactlyTheThreeKeys) {
    const std::string plist = DumpSection();
    ASSERT_FALSE(plist.empty());
    const std::regex key("<key>([^<]*)</key>\\s*<string>([^<]*)</string>");
    std::vector<std::pair<std::string, std::string>> entries;
    for (auto it = std::sregex_iterator(plist.begin(), plist.end(), key); it != std::sregex_iterator(); ++it) {
        entries.emplace_back((*it)[1], (*it)[2]);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"CFBundleIdentifier", "com.calvetra.quorbel"},
        {"NSMicrophoneUsageDescription",
         "Calvetra usa il microfono solo quando lo selezioni per una registrazione manuale o programmata."},
        {"NSCameraUsageDescription",
         "Calvetra usa la fotocamera solo quando scegli Live dalla fotocamera per una registrazione."}};
    EXPECT_EQ(entries, expected);
    std::size_t keys = 0;
    for (std::size_t at = plist.find("<key>"); at != std::string::npos; at = plist.find("<key>", at + 1)) {
        ++keys;
    }
    EXPECT_EQ(keys, 3u);
}

}  // namespace
