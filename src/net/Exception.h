// The failures of the connection framework. Each class carries its fixed
// message text; callers and the services match on the class, users see the text.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrune {

class EIdException : public std::runtime_error {
public:
    explicit EIdException(const std::string& AMessage) : std::runtime_error(AMessage) {}
};

#define KESTRUNE_ID_EXCEPTION(Name, Text)                                                          \
    class Name : public EIdException {                                                             \
    public:                                                                                        \
        Name() : EIdException(Text) {}                                                             \
    }

KESTRUNE_ID_EXCEPTION(EIdConnClosedGracefully, "Connection Closed Gracefully.");
KESTRUNE_ID_EXCEPTION(EIdNotConnected, "Not Connected");
KESTRUNE_ID_EXCEPTION(EIdClosedSocket, "Disconnected.");
KESTRUNE_ID_EXCEPTION(EIdReadTimeout, "Read timed out.");
KESTRUNE_ID_EXCEPTION(EIdReadLnMaxLineLengthExceeded, "Max line length exceeded.");
KESTRUNE_ID_EXCEPTION(EIdCouldNotBindSocket, "Could not bind socket.");
KESTRUNE_ID_EXCEPTION(EIdConnectTimeout, "Connect timed out.");
KESTRUNE_ID_EXCEPTION(EIdAlreadyConnected, "Already connected.");
KESTRUNE_ID_EXCEPTION(EIdHostRequired, "A Host is required");
KESTRUNE_ID_EXCEPTION(EIdPortRequired, "A Port is required");
KESTRUNE_ID_EXCEPTION(EIdAcceptTimeout, "Accept timed out.");
KESTRUNE_ID_EXCEPTION(EIdPackageSizeTooBig, "Package Size Too Big.");
KESTRUNE_ID_EXCEPTION(EIdNotAllBytesSent, "Not all bytes sent.");
KESTRUNE_ID_EXCEPTION(EIdIPVersionUnsupported,
                      "The requested IPVersion / Address family is not supported.");

#undef KESTRUNE_ID_EXCEPTION

// "Socket Error # <number>" CR LF <the system's text>.
class EIdSocketError : public EIdException {
public:
    explicit EIdSocketError(int AErrorCode);
    EIdSocketError(int AErrorCode, const std::string& ASystemText);
    int LastError() const { return FLastError; }

private:
    int FLastError;
};

// Raises EIdSocketError for the calling thread's errno.
[[noreturn]] void RaiseLastSocketError();

} // namespace kestrune
