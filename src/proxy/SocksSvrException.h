// The failures of the SOCKS server. Each ends the connection that raised it;
// the texts never reach the user or the event log.
#pragma once

#include "net/Exception.h"

namespace kestrune {

class EIdSocksSvrException : public EIdException {
public:
    using EIdException::EIdException;
};

#define KESTRUNE_SOCKS_EXCEPTION(Name, Text)                                                       \
    class Name : public EIdSocksSvrException {                                                     \
    public:                                                                                        \
        Name() : EIdSocksSvrException(Text) {}                                                     \
    }

KESTRUNE_SOCKS_EXCEPTION(EIdSocksSvrWrongSocksVer, "Wrong SOCKS-version");
KESTRUNE_SOCKS_EXCEPTION(EIdSocksSvrNotSupported, "Not supported");
KESTRUNE_SOCKS_EXCEPTION(EIdSocksSvrInvalidLogin, "Invalid Login");
KESTRUNE_SOCKS_EXCEPTION(EIdSocksSvrSocks5WrongATYP, "Wrong SOCKS5-ATYP");
KESTRUNE_SOCKS_EXCEPTION(EIdSocksSvrWrongSocksCmd, "Wrong SOCKS-Command");
KESTRUNE_SOCKS_EXCEPTION(EIdSocksSvrAccessDenied, "Access Denied");
KESTRUNE_SOCKS_EXCEPTION(EIdSocksSvrPeerMismatch, "Peer IP mismatch");

#undef KESTRUNE_SOCKS_EXCEPTION

} // namespace kestrune
