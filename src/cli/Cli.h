// The command front end: dispatch, the listing and permission commands, and
// the report lines through which the parent application learns everything.
#pragma once

#include <cstdint>
#include <string>

#include "platform/CoreAudioTypes.h"

namespace quorbel {

// The whole of main(): dispatches argv[1] and returns the exit status.
int RunQuorbel(int argc, char** argv);

// Puts a placeholder on each closed standard descriptor, so that nothing
// opened later (a pipe, a server socket) can become descriptor 0, 1 or 2.
void ReserveStandardDescriptors();

int ListDevices();
int ListInputs();
int AuthorizeMicrophone();
bool MicrophoneAllowed(bool request);

// The message both the permission command and a mixed capture print on refusal.
inline constexpr const char* kMicrophoneAccessMessage =
    "Accesso al microfono non consentito. Abilita Calvetra in Impostazioni di Sistema, Privacy e "
    "sicurezza, Microfono.\n";

std::string Base64(const char* text);
std::string OSStatusText(OSStatus status);

// Report lines. Listing lines are left in stdout's buffer for the exit to flush.
void PrintDeviceLine();
void PrintInputLine(const char* uid, const char* name);
void PrintFormatLine(std::uint32_t rate);
void PrintCaptureLine(std::uint32_t rate);
void PrintDropLines(bool mixed, std::uint64_t systemDrops, std::uint64_t microphoneDrops);

}  // namespace quorbel
