// HTTP/1.1 proxy messages: an incremental parser for one direction of a
// connection (requests from a client, responses from an origin), the heads
// rewritten for the next hop, Basic proxy credentials, and the proxy's own
// short answers. Framing is nodejs http-parser's; what a proxy must check
// beyond it (field names, obs-fold, request targets) is checked here.
//
// Pure code: no sockets, threads or clocks. A parser belongs to one
// connection and is used by one thread at a time; the free functions may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// Bytes of a head (start line, field lines and the empty line that ends
// them) that a parser takes by default; a longer request gets 431.
inline constexpr size_t HttpMaxHead = 64 * 1024;
// Field lines of a head, at most: each costs more to hold than its few bytes
// on the wire, so the head limit alone would let a head of tiny lines hold
// several times its size. More gets 431 (a request) or 502 (a response).
inline constexpr size_t HttpMaxFields = 256;

// What one Feed or Finish found.
enum class THttpEvent {
    NeedMore, // the bytes used belong to a head that is not complete yet
    Head,     // the head is complete (Head() holds it); call Feed again even with no bytes
    Body,     // the bytes used are body bytes as sent (chunk framing and trailers included)
    End,      // the message is complete; the bytes used are the last of its body
    Error,    // not a message the proxy can pass on: answer Status unless already answering
};

struct THttpStep {
    THttpEvent Event = THttpEvent::NeedMore;
    size_t Consumed = 0; // bytes used from the start of the input; none with Error
    int Status = 0;      // with Error: 400 malformed, 431 head too large, 502 bad response
};

// One field line: the name as received, the value without surrounding blanks.
struct THttpField {
    std::string Name;
    std::string Value;
};

enum class THttpTargetForm {
    Origin,    // "/path?query": meant for a server, not for a proxy (answer 400)
    Absolute,  // "http://host[:port]/path?query"
    Authority, // "host:port", the form of CONNECT
    Asterisk,  // "*": OPTIONS of the proxy itself
};

struct THttpRequestHead {
    std::string Method;             // as received: methods are case-sensitive
    std::string Target;             // the request target as received
    int Version = 11;               // 10 for HTTP/1.0, 11 for HTTP/1.1 (and later 1.x)
    std::vector<THttpField> Fields; // in the order received
    THttpTargetForm Form = THttpTargetForm::Origin;
    std::string Host;       // Absolute and Authority: the host, an IPv6 address without brackets
    uint16_t Port = 0;      // Absolute (80 when not given) and Authority: the port, never 0
    std::string Authority;  // Absolute: host[:port] as written, the origin's Host
    std::string Path;       // Absolute: path and query for the origin, "/" when empty
    bool KeepAlive = false; // the client keeps its connection for another request
};

struct THttpResponseHead {
    int Status = 0;                 // 100 to 599
    std::string Reason;             // may be empty
    int Version = 11;               // 10 for HTTP/1.0, 11 for HTTP/1.1 (and later 1.x)
    std::vector<THttpField> Fields; // in the order received
    bool KeepAlive = false;         // the origin keeps its connection after this response
    bool EndsWithClose = false;     // the body ends at the origin's close: so must the client's
    // A 1xx response: the final response to the same request follows it.
    bool Interim() const { return Status < 200; }
};

// The parser of one direction of one connection. It stops after each head
// and after each message's end, so that a pipelined next message stays in
// the input for the next call; NeedMore and Body use all they are given. It
// holds at most the head limit and never a body byte.
class THttpParser {
public:
    virtual ~THttpParser();
    THttpParser(const THttpParser&) = delete;
    THttpParser& operator=(const THttpParser&) = delete;

    // Parses from the start of AData, which goes on from where the last call
    // stopped (any split of the stream gives the same events).
    THttpStep Feed(std::string_view AData);
    // The peer has closed: End for a body that ends with the connection,
    // NeedMore when no message was begun, Error for one cut short.
    THttpStep Finish();
    // A CONNECT request, or its 2xx response, has ended: what follows is the
    // tunnel's, not HTTP, and Feed refuses it.
    bool Tunnel() const;
    // No byte of a next message has been taken yet (between messages).
    bool Idle() const;

protected:
    THttpParser(bool ARequests, size_t AMaxHead);
    struct TImpl;
    std::unique_ptr<TImpl> mImpl;
};

class THttpRequestParser : public THttpParser {
public:
    explicit THttpRequestParser(size_t AMaxHead = HttpMaxHead);
    // The request from its Head event until the next request's first byte.
    const THttpRequestHead& Head() const;
};

class THttpResponseParser : public THttpParser {
public:
    explicit THttpResponseParser(size_t AMaxHead = HttpMaxHead);
    // The method and version of the request that the next response answers
    // (HEAD and CONNECT change its framing); set before feeding it. Its 1xx
    // responses keep it; without it a response is taken as a GET's.
    void ExpectResponseTo(std::string_view AMethod, int AVersion = 11);
    // The response from its Head event until the next response's first byte.
    const THttpResponseHead& Head() const;
};

// The head to send to the origin for an absolute-form request: the request
// line in origin form with the client's version, the hop-by-hop fields left
// out, Host from the target, and the proxy added to Via.
std::string OriginRequestHead(const THttpRequestHead& ARequest);

// The head to send to the client: the proxy's own version, the hop-by-hop
// fields left out, the proxy added to Via, and "Connection: close" when the
// client's connection closes after this response (AKeepAlive false, or a
// body that ends with the origin's close). Empty for a 1xx response to an
// HTTP/1.0 client, which must not get one.
std::string ClientResponseHead(const THttpResponseHead& AResponse, bool AKeepAlive,
                               int AClientVersion = 11);

struct THttpCredentials {
    std::string User;
    std::string Password;
};

// The Basic credentials of Proxy-Authorization; none when it is absent,
// repeated or malformed.
std::optional<THttpCredentials> ProxyCredentials(const THttpRequestHead& ARequest);

// The proxy's own answer with AStatus (400, 403, 407, 431, 502, 504): a short
// text body and "Connection: close"; 407 asks for Basic credentials.
std::string ErrorResponse(int AStatus);

// The answer to a CONNECT whose tunnel is open.
inline constexpr std::string_view HttpConnectEstablished =
    "HTTP/1.1 200 Connection established\r\n\r\n";

} // namespace kestrune
