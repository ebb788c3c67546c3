#include "proxy/CustomSocksServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstring>

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

// The reads of one request exchange, all bounded by one deadline.
class TIdCustomSocksServer::TRequestReader {
public:
    TRequestReader(TIdIOHandlerStack& AIO, int ATimeout)
        : FIO(AIO), FLimited(ATimeout > 0),
          FDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeout)) {}

    uint8_t Byte() {
        uint8_t value = 0;
        Bytes(&value, 1);
        return value;
    }

    void Bytes(uint8_t* ADest, size_t ACount) {
        if (ACount == 0)
            return;
        while (FIO.InputBuffer.Size() < ACount)
            More();
        FIO.InputBuffer.ExtractTo(ADest, ACount);
    }

    std::string Text(size_t ACount) {
        while (FIO.InputBuffer.Size() < ACount)
            More();
        std::string text = BytesToString(FIO.InputBuffer.Data(), ACount);
        FIO.InputBuffer.Remove(ACount);
        return text;
    }

    // The bytes before the next NUL, which is consumed too; at most AMaxLength.
    std::string UpToNul(size_t AMaxLength) {
        static const std::string nul(1, '\0');
        size_t searchFrom = 0;
        for (;;) {
            const long long found = FIO.InputBuffer.IndexOf(nul, searchFrom);
            if (found >= 0) {
                const auto length = static_cast<size_t>(found);
                if (length > AMaxLength)
                    throw EIdReadLnMaxLineLengthExceeded();
                std::string text = BytesToString(FIO.InputBuffer.Data(), length);
                FIO.InputBuffer.Remove(length + 1);
                return text;
            }
            searchFrom = FIO.InputBuffer.Size();
            if (searchFrom > AMaxLength)
                throw EIdReadLnMaxLineLengthExceeded();
            More();
        }
    }

private:
    void More() {
        FIO.ReadFromSource(false, Timeout(), true);
        // A client that closed before its request was complete ends it here.
        FIO.CheckForDisconnect(true, true);
    }

    int Timeout() const {
        if (!FLimited)
            return IdTimeoutInfinite;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              FDeadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            throw EIdReadTimeout();
        return static_cast<int>(left);
    }

    TIdIOHandlerStack& FIO;
    bool FLimited;
    std::chrono::steady_clock::time_point FDeadline;
};

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

bool TIdCustomSocksServer::ExecuteContext(TIdContext& AContext) {
    auto& context = static_cast<TIdSocksServerContext&>(AContext);
    TIdTCPConnection* connection = context.Connection();
    TIdIOHandlerStack* io = connection ? connection->IOHandler() : nullptr;
    if (context.Denied() || !io || !io->Opened()) {
        context.Close();
        return false;
    }
    // Replies and relayed small exchanges must not wait for delayed ACKs.
    io->Binding().SetNoDelay(true);

    uint8_t command = 0;
    std::string host;
    TIdPort port = 0;
    {
        TRequestReader reader(*io, RequestTimeout);
        context.FSocksVersion = reader.Byte();
        const uint8_t version = context.FSocksVersion;
        if (!((version == 4 && AllowSocks4) || (version == 5 && AllowSocks5)))
            throw EIdSocksSvrWrongSocksVer();
        if (version == 4)
            ReadSocks4Request(context, reader, command, host, port);
        else
            ReadSocks5Request(context, reader, command, host, port);
    }
    switch (command) {
    case CmdConnect:
        CommandConnect(context, host, port);
        break;
    case CmdBind:
        CommandBind(context, host, port);
        break;
    case CmdUdpAssociate:
        if (context.SocksVersion() != 5)
            RefuseCommand(context);
        CommandUdpAssociate(context, host, port);
        break;
    default:
        RefuseCommand(context);
    }
    // One request per connection; a relayed one is closed by its relay.
    if (!context.Relaying())
        CloseClient(context);
    return false;
}

void TIdCustomSocksServer::ReadSocks4Request(TIdSocksServerContext& AContext,
                                             TRequestReader& AReader, uint8_t& ACommand,
                                             std::string& AHost, TIdPort& APort) {
    // [CD, DSTPORT(2), DSTIP(4)] USERID NUL [HOST NUL]
    uint8_t head[7];
    AReader.Bytes(head, sizeof head);
    ACommand = head[0];
    APort = PortAt(head + 1);
    AHost = DottedIPv4(head + 3);
    const auto maxLength = static_cast<size_t>(ClientIO(AContext).MaxLineLength);
    AContext.FUsername = AReader.UpToNul(maxLength);
    AContext.FPassword.clear();
    if (head[3] == 0 && head[4] == 0 && head[5] == 0 && head[6] != 0) {
        AHost = AReader.UpToNul(maxLength);
        AContext.FIPVersion = AcceptedIPVersion(AContext);
    } else {
        AContext.FIPVersion = Id_IPv4;
    }
    if (!Authenticate(AContext)) {
        SendAndClose(AContext, [&] { SendSocks4Reply(AContext, 93, std::string(), 0); });
        throw EIdSocksSvrInvalidLogin();
    }
}

void TIdCustomSocksServer::ReadSocks5Request(TIdSocksServerContext& AContext,
                                             TRequestReader& AReader, uint8_t& ACommand,
                                             std::string& AHost, TIdPort& APort) {
    // [NMETHODS] METHODS...
    const uint8_t count = AReader.Byte();
    uint8_t methods[255];
    AReader.Bytes(methods, count);
    if (NeedsAuthentication) {
        if (std::find(methods, methods + count, MethodUserPass) == methods + count) {
            SendAndClose(AContext, [&] { SendMethodReply(AContext, MethodNone); });
            throw EIdSocksSvrNotSupported();
        }
        SendMethodReply(AContext, MethodUserPass);
        // [VER, ULEN] UNAME [PLEN] PASSWD
        AReader.Byte();
        AContext.FUsername = AReader.Text(AReader.Byte());
        AContext.FPassword = AReader.Text(AReader.Byte());
        if (!Authenticate(AContext)) {
            SendAndClose(AContext, [&] { SendLoginReply(AContext, 1); });
            throw EIdSocksSvrInvalidLogin();
        }
        SendLoginReply(AContext, 0);
    } else {
        AContext.FUsername.clear();
        AContext.FPassword.clear();
        SendMethodReply(AContext, 0);
    }

    // [VER, CMD, RSV, ATYP] DST.ADDR DST.PORT(2)
    uint8_t head[4];
    AReader.Bytes(head, sizeof head);
    ACommand = head[1];
    uint8_t address[18];
    switch (head[3]) {
    case 1:
        AReader.Bytes(address, 6);
        AHost = DottedIPv4(address);
        APort = PortAt(address + 4);
        AContext.FIPVersion = Id_IPv4;
        break;
    case 3: {
        const uint8_t length = AReader.Byte();
        AHost = AReader.Text(length);
        AReader.Bytes(address, 2);
        APort = PortAt(address);
        AContext.FIPVersion = AcceptedIPVersion(AContext);
        break;
    }
    case 4: {
        AReader.Bytes(address, 18);
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, address, text, sizeof text);
        AHost = text;
        APort = PortAt(address + 16);
        AContext.FIPVersion = Id_IPv6;
        break;
    }
    default:
        SendAndClose(AContext, [&] { SendSocks5Reply(AContext, 8, std::string(), 0); });
        throw EIdSocksSvrSocks5WrongATYP();
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
