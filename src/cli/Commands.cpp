// Command dispatch. The command line is purely positional: the command word
// must match exactly, and the source argument is one of two fixed words.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "capture/Capture.h"
#include "cli/Cli.h"
#include "platform/AudioPlatform.h"

namespace quorbel {
namespace {

constexpr const char* kUsage = "Usage: Quorbel list | capture <deviceId> | capture-mixed <deviceId>\n";
constexpr const char* kInvalidSource = "Sorgente audio di sistema non valida.\n";
constexpr const char* kSystemSource = "macos-system-audio";
constexpr const char* kNoSystemSource = "__none__";

int RejectSource() {
    std::fputs(kInvalidSource, stderr);
    return 2;
}

int DispatchCapture(int argc, char** argv) {
    if (argc == 2 || std::string(argv[2]) != kSystemSource) {
        return RejectSource();
    }
    return Capture(false, "", true);
}

int DispatchCaptureMixed(int argc, char** argv) {
    if (argc == 2) {
        return RejectSource();
    }
    const std::string source = argv[2];
    if (source != kSystemSource && source != kNoSystemSource) {
        return RejectSource();
    }
    const std::string microphoneUid = argc >= 4 ? argv[3] : "";
    return Capture(true, microphoneUid, source != kNoSystemSource);
}

int Dispatch(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string command = argv[1];
    if (command == "list") {
        return ListDevices();
    }
    if (command == "list-inputs") {
        return ListInputs();
    }
    if (command == "authorize-microphone") {
        return AuthorizeMicrophone();
    }
    if (command == "capture") {
        return DispatchCapture(argc, argv);
    }
    if (command == "capture-mixed") {
        return DispatchCaptureMixed(argc, argv);
    }
    std::fprintf(stderr, "Comando non supportato: %s\n", argv[1]);
    return 2;
}

}  // namespace

void ReserveStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // Opened the wrong way round on purpose: reads of 0 and writes to 1
        // and 2 still fail as they would on a closed descriptor.
        const int placeholder = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (placeholder >= 0 && placeholder != fd) {
            dup2(placeholder, fd);
            close(placeholder);
        }
    }
}

int RunQuorbel(int argc, char** argv) {
    ReserveStandardDescriptors();
    void* pool = objc_autoreleasePoolPush();
    const int status = Dispatch(argc, argv);
    objc_autoreleasePoolPop(pool);
    return status;
}

int ListDevices() {
    PrintDeviceLine();
    return 0;
}

}  // namespace quorbel
