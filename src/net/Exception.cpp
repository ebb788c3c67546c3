#include "net/Exception.h"

#include <cerrno>
#include <cstring>

namespace kestrune {

namespace {

std::string SystemText(int AErrorCode) {
    char text[256] = {};
    // The GNU variant may return a static string instead of filling the buffer.
    const char* result = strerror_r(AErrorCode, text, sizeof text);
    return result ? result : text;
}

std::string SocketErrorText(int AErrorCode, const std::string& ASystemText) {
    return "Socket Error # " + std::to_string(AErrorCode) + "\r\n" + ASystemText;
}

} // namespace

EIdSocketError::EIdSocketError(int AErrorCode)
    : EIdException(SocketErrorText(AErrorCode, SystemText(AErrorCode))), FLastError(AErrorCode) {}

EIdSocketError::EIdSocketError(int AErrorCode, const std::string& ASystemText)
    : EIdException(SocketErrorText(AErrorCode, ASystemText)), FLastError(AErrorCode) {}

void RaiseLastSocketError() {
    throw EIdSocketError(errno);
}

} // namespace kestrune
