#include "proxy/CustomSocksServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

namespace kestrune {

namespace {

constexpr uint8_t CmdConnect = 1;
constexpr uint8_t CmdBind = 2;
constexpr uint8_t CmdUdpAssociate = 3;
constexpr uint8_t MethodUserPass = 2;
constexpr uint8_t MethodNone = 0xFF;

TIdIOHandlerStack& ClientIO(TIdSocksServerContext& AContext) {
    TIdTCPConnection* connection = AContext.Connection();
    if (!connection || !connection->IOHandler())
        throw EIdNotConnected();
    return *connection->IOHandler();
}

void CloseClient(TIdSocksServerContext& AContext) {
    if (TIdTCPConnection* connection = AContext.Connection())
        connection->Disconnect();
}

// Sends a refusal and closes the client, whether or not the write succeeded.
template <typename TSend> void SendAndClose(TIdSocksServerContext& AContext, TSend ASend) {
    try {
        ASend();
    } catch (...) {
        CloseClient(AContext);
        throw;
    }
    CloseClient(AContext);
}

void AppendPort(TIdBytes& AReply, TIdPort APort) {
    AReply.push_back(static_cast<uint8_t>(APort >> 8));
    AReply.push_back(static_cast<uint8_t>(APort & 0xFF));
}

TIdPort PortAt(const uint8_t* AData) {
    return static_cast<TIdPort>((AData[0] << 8) | AData[1]);
}

std::string DottedIPv4(const uint8_t* AData) {
    return std::to_string(AData[0]) + "." + std::to_string(AData[1]) + "." +
           std::to_string(AData[2]) + "." + std::to_string(AData[3]);
}

TIdIPVersion AcceptedIPVersion(TIdSocksServerContext& AContext) {
    const TIdSocketHandle* binding = AContext.Binding();
    return binding ? binding->IPVersion : Id_IPv4;
}

} // namespace

TIdCustomSocksServer::TIdCustomSocksServer() {
    DefaultPort = 1080;
    SetContextClass<TIdSocksServerContext>();
}

TIdCustomSocksServer::~TIdCustomSocksServer() {
    // Here, not in the base: deactivation must still end contexts through
    // this class's TerminateContext.
    SetActive(false);
}

size_t TIdCustomSocksServer::EffectiveBufferSize() const {
    if (BufferSize <= 0)
        return MinBufferSize;
    return std::clamp(static_cast<size_t>(BufferSize), MinBufferSize, MaxBufferSize);
}

void TIdCustomSocksServer::TerminateContext(TIdContext& AContext) {
    static_cast<TIdSocksServerContext&>(AContext).Close();
}

void TIdCustomSocksServer::ConnectContext(TIdContext& AContext) {
    TIdCustomTCPServer::ConnectContext(AContext);
    auto& context = static_cast<TIdSocksServerContext&>(AContext);
    if (context.Denied())
        return;
    // Replies and relayed small exchanges must not wait for delayed ACKs.
    if (TIdSocketHandle* binding = context.Binding())
        binding->SetNoDelay(true);
    // A client that has not sent its whole request by then is closed
    // without a reply; a silent one would otherwise stay for ever.
    if (RequestTimeout > 0)
        context.FRequestTimer.Arm(context.Loop(), std::chrono::milliseconds(RequestTimeout),
                                  [&context] { context.Step([] { throw EIdReadTimeout(); }); });
}

bool TIdCustomSocksServer::ExecuteContext(TIdContext& AContext) {
    auto& context = static_cast<TIdSocksServerContext&>(AContext);
    TIdTCPConnection* connection = context.Connection();
    TIdIOHandlerStack* io = connection ? connection->IOHandler() : nullptr;
    if (context.Denied() || !io || !io->Opened())
        return false;
    TIdBuffer& input = io->InputBuffer;
    for (;;) {
        switch (context.FStage) {
        case TIdSocksServerContext::stVersion: {
            if (input.Empty())
                break;
            const uint8_t first = input.Data()[0];
            if (AllowHttp && ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z'))) {
                // The HTTP session has its own limit on a request head.
                context.FRequestTimer.Cancel();
                context.FStage = TIdSocksServerContext::stHttp;
                // The session reads the client itself from here on.
                context.SetReading(false);
                StartHttp(context);
                return true;
            }
            uint8_t version = 0;
            input.ExtractTo(&version, 1);
            context.FSocksVersion = version;
            if (!((version == 4 && AllowSocks4) || (version == 5 && AllowSocks5)))
                throw EIdSocksSvrWrongSocksVer();
            context.FStage =
                version == 4 ? TIdSocksServerContext::stSocks4 : TIdSocksServerContext::stMethods;
            continue;
        }
        case TIdSocksServerContext::stSocks4:
            if (ReadSocks4Request(context))
                continue;
            break;
        case TIdSocksServerContext::stMethods:
            if (ReadMethods(context))
                continue;
            break;
        case TIdSocksServerContext::stLogin:
            if (ReadLogin(context))
                continue;
            break;
        case TIdSocksServerContext::stRequest:
            if (ReadSocks5Request(context))
                continue;
            break;
        case TIdSocksServerContext::stCommand:
            // A command is under way; what the client sends meanwhile is
            // the relay's.
            return true;
        case TIdSocksServerContext::stHttp:
            return true; // the session reads the client itself
        case TIdSocksServerContext::stAssociated:
            // The control connection of an association carries nothing;
            // its end ends the association.
            input.Clear();
            return io->Connected();
        }
        // Bytes are missing: they may still come, unless the client has
        // ended its stream.
        if (io->ClosedGracefully())
            throw EIdConnClosedGracefully();
        return true;
    }
}

namespace {

// The position of the first NUL at or after AFrom, or -1.
long long FindNul(const TIdBuffer& AInput, size_t AFrom) {
    static const std::string nul(1, '\0');
    return AInput.IndexOf(nul, AFrom);
}

} // namespace

bool TIdCustomSocksServer::ReadSocks4Request(TIdSocksServerContext& AContext) {
    // [CD, DSTPORT(2), DSTIP(4)] USERID NUL [HOST NUL]
    TIdBuffer& input = ClientIO(AContext).InputBuffer;
    const auto maxLength = static_cast<size_t>(ClientIO(AContext).MaxLineLength);
    if (input.Size() < 7)
        return false;
    const long long userEnd = FindNul(input, 7);
    if (userEnd < 0) {
        if (input.Size() - 7 > maxLength)
            throw EIdReadLnMaxLineLengthExceeded();
        return false;
    }
    if (static_cast<size_t>(userEnd) - 7 > maxLength)
        throw EIdReadLnMaxLineLengthExceeded();
    const uint8_t* head = input.Data();
    const bool named = head[3] == 0 && head[4] == 0 && head[5] == 0 && head[6] != 0;
    long long hostEnd = -1;
    if (named) {
        const auto hostStart = static_cast<size_t>(userEnd) + 1;
        hostEnd = FindNul(input, hostStart);
        if (hostEnd < 0) {
            if (input.Size() - hostStart > maxLength)
                throw EIdReadLnMaxLineLengthExceeded();
            return false;
        }
        if (static_cast<size_t>(hostEnd) - hostStart > maxLength)
            throw EIdReadLnMaxLineLengthExceeded();
    }
    const uint8_t command = head[0];
    AContext.FPort = PortAt(head + 1);
    AContext.FHost = DottedIPv4(head + 3);
    AContext.FUsername = BytesToString(head + 7, static_cast<size_t>(userEnd) - 7);
    AContext.FPassword.clear();
    if (named) {
        const auto hostStart = static_cast<size_t>(userEnd) + 1;
        AContext.FHost = BytesToString(head + hostStart, static_cast<size_t>(hostEnd) - hostStart);
        AContext.FIPVersion = AcceptedIPVersion(AContext);
        input.Remove(static_cast<size_t>(hostEnd) + 1);
    } else {
        AContext.FIPVersion = Id_IPv4;
        input.Remove(static_cast<size_t>(userEnd) + 1);
    }
    if (!Authenticate(AContext)) {
        SendAndClose(AContext, [&] { SendSocks4Reply(AContext, 93, std::string(), 0); });
        throw EIdSocksSvrInvalidLogin();
    }
    Dispatch(AContext, command);
    return true;
}

bool TIdCustomSocksServer::ReadMethods(TIdSocksServerContext& AContext) {
    // [NMETHODS] METHODS...
    TIdBuffer& input = ClientIO(AContext).InputBuffer;
    if (input.Empty() || input.Size() < 1u + input.Data()[0])
        return false;
    const uint8_t count = input.Data()[0];
    const uint8_t* methods = input.Data() + 1;
    const bool offered = std::find(methods, methods + count, MethodUserPass) != methods + count;
    input.Remove(1u + count);
    if (NeedsAuthentication) {
        if (!offered) {
            SendAndClose(AContext, [&] { SendMethodReply(AContext, MethodNone); });
            throw EIdSocksSvrNotSupported();
        }
        SendMethodReply(AContext, MethodUserPass);
        AContext.FStage = TIdSocksServerContext::stLogin;
    } else {
        AContext.FUsername.clear();
        AContext.FPassword.clear();
        SendMethodReply(AContext, 0);
        AContext.FStage = TIdSocksServerContext::stRequest;
    }
    return true;
}

bool TIdCustomSocksServer::ReadLogin(TIdSocksServerContext& AContext) {
    // [VER, ULEN] UNAME [PLEN] PASSWD
    TIdBuffer& input = ClientIO(AContext).InputBuffer;
    if (input.Size() < 2)
        return false;
    const size_t userLength = input.Data()[1];
    if (input.Size() < 3 + userLength)
        return false;
    const size_t passLength = input.Data()[2 + userLength];
    if (input.Size() < 3 + userLength + passLength)
        return false;
    AContext.FUsername = BytesToString(input.Data() + 2, userLength);
    AContext.FPassword = BytesToString(input.Data() + 3 + userLength, passLength);
    input.Remove(3 + userLength + passLength);
    if (!Authenticate(AContext)) {
        SendAndClose(AContext, [&] { SendLoginReply(AContext, 1); });
        throw EIdSocksSvrInvalidLogin();
    }
    SendLoginReply(AContext, 0);
    AContext.FStage = TIdSocksServerContext::stRequest;
    return true;
}

bool TIdCustomSocksServer::ReadSocks5Request(TIdSocksServerContext& AContext) {
    // [VER, CMD, RSV, ATYP] DST.ADDR DST.PORT(2)
    TIdBuffer& input = ClientIO(AContext).InputBuffer;
    if (input.Size() < 4)
        return false;
    const uint8_t* head = input.Data();
    const uint8_t command = head[1];
    switch (head[3]) {
    case 1:
        if (input.Size() < 4 + 6)
            return false;
        AContext.FHost = DottedIPv4(head + 4);
        AContext.FPort = PortAt(head + 8);
        AContext.FIPVersion = Id_IPv4;
        input.Remove(4 + 6);
        break;
    case 3: {
        if (input.Size() < 5 || input.Size() < 5u + head[4] + 2)
            return false;
        const size_t length = head[4];
        AContext.FHost = BytesToString(head + 5, length);
        AContext.FPort = PortAt(head + 5 + length);
        AContext.FIPVersion = AcceptedIPVersion(AContext);
        input.Remove(5 + length + 2);
        break;
    }
    case 4: {
        if (input.Size() < 4 + 18)
            return false;
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, head + 4, text, sizeof text);
        AContext.FHost = text;
        AContext.FPort = PortAt(head + 20);
        AContext.FIPVersion = Id_IPv6;
        input.Remove(4 + 18);
        break;
    }
    default:
        SendAndClose(AContext, [&] { SendSocks5Reply(AContext, 8, std::string(), 0); });
        throw EIdSocksSvrSocks5WrongATYP();
    }
    Dispatch(AContext, command);
    return true;
}

void TIdCustomSocksServer::Dispatch(TIdSocksServerContext& AContext, uint8_t ACommand) {
    // The request is in: its time limit is over, and the command decides
    // what the connection waits for.
    AContext.FRequestTimer.Cancel();
    AContext.FStage = TIdSocksServerContext::stCommand;
    AContext.SetReading(false);
    const std::string host = AContext.FHost;
    const TIdPort port = AContext.FPort;
    switch (ACommand) {
    case CmdConnect:
        CommandConnect(AContext, host, port);
        break;
    case CmdBind:
        CommandBind(AContext, host, port);
        break;
    case CmdUdpAssociate:
        if (AContext.SocksVersion() != 5)
            RefuseCommand(AContext);
        CommandUdpAssociate(AContext, host, port);
        break;
    default:
        RefuseCommand(AContext);
    }
}

bool TIdCustomSocksServer::Authenticate(TIdSocksServerContext& AContext) {
    bool authenticated = static_cast<bool>(OnAuthenticate);
    if (OnAuthenticate)
        OnAuthenticate(AContext, authenticated);
    return authenticated;
}

void TIdCustomSocksServer::RefuseCommand(TIdSocksServerContext& AContext) {
    SendAndClose(AContext, [&] {
        if (AContext.SocksVersion() == 4)
            SendSocks4Reply(AContext, 93, std::string(), 0);
        else
            SendSocks5Reply(AContext, 7, std::string(), 0);
    });
    throw EIdSocksSvrWrongSocksCmd();
}

void TIdCustomSocksServer::StartHttp(TIdSocksServerContext&) {
    throw EIdSocksSvrWrongSocksVer();
}

void TIdCustomSocksServer::CommandConnect(TIdSocksServerContext& AContext, const std::string&,
                                          TIdPort) {
    RefuseCommand(AContext);
}

void TIdCustomSocksServer::CommandBind(TIdSocksServerContext& AContext, const std::string&,
                                       TIdPort) {
    RefuseCommand(AContext);
}

void TIdCustomSocksServer::CommandUdpAssociate(TIdSocksServerContext& AContext, const std::string&,
                                               TIdPort) {
    RefuseCommand(AContext);
}

void TIdCustomSocksServer::SendSocks4Reply(TIdSocksServerContext& AContext, uint8_t ACode,
                                           const std::string& AHost, TIdPort APort) {
    TIdBytes reply{0, ACode};
    AppendPort(reply, APort);
    in_addr address{};
    if (inet_pton(AF_INET, AHost.c_str(), &address) != 1)
        address.s_addr = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
    reply.insert(reply.end(), bytes, bytes + sizeof address);
    ClientIO(AContext).Write(reply);
}

void TIdCustomSocksServer::SendSocks5Reply(TIdSocksServerContext& AContext, uint8_t ACode,
                                           const std::string& AHost, TIdPort APort) {
    // The address's own family; a reply without one (a refusal) follows the
    // request's.
    in_addr probe{};
    const bool v6 =
        AHost.find(':') != std::string::npos ||
        (inet_pton(AF_INET, AHost.c_str(), &probe) != 1 && AContext.IPVersion() == Id_IPv6);
    TIdBytes reply{5, ACode, 0, static_cast<uint8_t>(v6 ? 4 : 1)};
    uint8_t address[sizeof(in6_addr)] = {};
    if (inet_pton(v6 ? AF_INET6 : AF_INET, AHost.c_str(), address) != 1)
        std::memset(address, 0, sizeof address);
    reply.insert(reply.end(), address, address + (v6 ? sizeof(in6_addr) : sizeof(in_addr)));
    AppendPort(reply, APort);
    ClientIO(AContext).Write(reply);
}

void TIdCustomSocksServer::SendMethodReply(TIdSocksServerContext& AContext, uint8_t AMethod) {
    ClientIO(AContext).Write(TIdBytes{5, AMethod});
}

void TIdCustomSocksServer::SendLoginReply(TIdSocksServerContext& AContext, uint8_t AStatus) {
    ClientIO(AContext).Write(TIdBytes{1, AStatus});
}

void TIdCustomSocksServer::SendSocksError(TIdSocksServerContext& AContext, uint8_t ASocks5Code) {
    SendSocksError(AContext, 91, ASocks5Code);
}

void TIdCustomSocksServer::SendSocksError(TIdSocksServerContext& AContext, uint8_t ASocks4Code,
                                          uint8_t ASocks5Code) {
    SendAndClose(AContext, [&] {
        if (AContext.SocksVersion() == 4)
            SendSocks4Reply(AContext, ASocks4Code, std::string(), 0);
        else
            SendSocks5Reply(AContext, ASocks5Code, std::string(), 0);
    });
}

} // namespace kestrune
