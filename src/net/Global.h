// Types shared by the whole connection framework, and the process-wide
// socket settings every program calls once before it opens a socket.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune {

using TIdBytes = std::vector<uint8_t>;
using TIdPort = uint16_t;

enum TIdIPVersion { Id_IPv4 = 4, Id_IPv6 = 6 };

enum TWorkMode { wmRead, wmWrite };

// Ignores SIGPIPE for the whole process. A peer that vanishes while we send
// must surface as a socket error on that connection, never as a signal that
// ends the gateway. Safe to call any number of times from any thread.
void IgnoreSigPipe();

// The bytes of a string, and the ASCII string of bytes (bytes above 127
// become '?', as the framework's ASCII text encoding does).
TIdBytes ToBytes(const std::string& AText);
std::string BytesToString(const uint8_t* AData, size_t ASize);

} // namespace kestrune
