#include "proxy/HttpMessage.h"

#include "base/Text.h"

#include <http_parser.h>

#include <algorithm>
#include <climits>

namespace kestrune {

namespace {

// The proxy's name in Via.
constexpr std::string_view ViaPseudonym = "kestrune";

// Fields that concern one connection only and never pass a proxy.
constexpr std::string_view HopByHopNames[] = {
    "Connection", "Proxy-Connection", "Keep-Alive", "Proxy-Authorization",
    "TE",         "Trailer",          "Upgrade"};
// Fields that Connection may name but that stay: the body is passed on as
// it was framed, so its framing must reach the next hop with it (dropping
// Content-Length would let the body be read as the next request there), and
// Host is set from the target anyway.
constexpr std::string_view KeptNames[] = {"Content-Length", "Transfer-Encoding", "Host"};

bool IsTokenChar(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return IsTokenChar(static_cast<unsigned char>(c));
    });
}

// Field values and reason phrases: tabs, blanks, visible ASCII and
// obs-text; never a line break or another control byte.
bool IsFieldText(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c == '\t' || (c >= 0x20 && c != 0x7f);
    });
}

// Request targets: visible ASCII only (the library lets a tab through,
// which a server further on may split the request line at).
bool IsTargetText(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c > 0x20 && c < 0x7f;
    });
}

std::string_view TrimOws(std::string_view s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool InList(std::string_view name, const auto& list) {
    return std::any_of(std::begin(list), std::end(list),
                       [&](std::string_view entry) { return SameIgnoringCase(name, entry); });
}

// Names as valid tokens, values trimmed and free of control bytes.
bool CheckFields(std::vector<THttpField>& AFields) {
    for (THttpField& field : AFields) {
        if (!IsToken(field.Name))
            return false;
        field.Value = std::string(TrimOws(field.Value));
        if (!IsFieldText(field.Value))
            return false;
    }
    return true;
}

size_t CountFields(const std::vector<THttpField>& AFields, std::string_view AName) {
    return static_cast<size_t>(std::count_if(AFields.begin(), AFields.end(), [&](const auto& f) {
        return SameIgnoringCase(f.Name, AName);
    }));
}

std::string_view UrlPart(std::string_view AUrl, const http_parser_url& AParts, int AField) {
    if (!(AParts.field_set & (1 << AField)))
        return {};
    return AUrl.substr(AParts.field_data[AField].off, AParts.field_data[AField].len);
}

// Fills the form and the target's parts; false for a target that is none
// of the four forms, or that names no host or port 0.
bool ParseTarget(THttpRequestHead& ARequest, bool AConnect) {
    const std::string_view target = ARequest.Target;
    // The library's offsets into the target are 16 bits wide.
    if (target.size() > UINT16_MAX)
        return false;
    http_parser_url parts;
    http_parser_url_init(&parts);
    if (AConnect) {
        if (http_parser_parse_url(target.data(), target.size(), 1, &parts) != 0 || parts.port == 0)
            return false;
        ARequest.Form = THttpTargetForm::Authority;
        ARequest.Host = UrlPart(target, parts, UF_HOST);
        ARequest.Port = parts.port;
        return !ARequest.Host.empty();
    }
    if (target == "*") {
        ARequest.Form = THttpTargetForm::Asterisk;
        return true;
    }
    if (target.front() == '/') {
        ARequest.Form = THttpTargetForm::Origin;
        return true;
    }
    if (http_parser_parse_url(target.data(), target.size(), 0, &parts) != 0)
        return false;
    // Only plain http is forwarded; user information in an http URI is
    // refused (RFC 9110 4.2.4).
    if (!SameIgnoringCase(UrlPart(target, parts, UF_SCHEMA), "http") ||
        (parts.field_set & (1 << UF_USERINFO)))
        return false;
    const std::string_view host = UrlPart(target, parts, UF_HOST);
    const std::string_view port = UrlPart(target, parts, UF_PORT);
    if (host.empty() || (!port.empty() && parts.port == 0))
        return false;
    ARequest.Form = THttpTargetForm::Absolute;
    ARequest.Host = host;
    ARequest.Port = port.empty() ? 80 : parts.port;
    const bool six = host.find(':') != std::string_view::npos;
    ARequest.Authority = six ? "[" + ARequest.Host + "]" : ARequest.Host;
    if (!port.empty())
        ARequest.Authority += ":" + std::string(port);
    ARequest.Path = UrlPart(target, parts, UF_PATH);
    if (ARequest.Path.empty())
        ARequest.Path = "/";
    if (parts.field_set & (1 << UF_QUERY))
        ARequest.Path += "?" + std::string(UrlPart(target, parts, UF_QUERY));
    return true;
}

// Whether a field stops at this hop: one of the fixed names, or one that a
// Connection field names.
class THopByHop {
public:
    explicit THopByHop(const std::vector<THttpField>& AFields) {
        for (const THttpField& field : AFields) {
            if (!SameIgnoringCase(field.Name, "Connection"))
                continue;
            std::string_view rest = field.Value;
            while (!rest.empty()) {
                const size_t comma = rest.find(',');
                const std::string_view name = TrimOws(rest.substr(0, comma));
                if (!name.empty() && !InList(name, KeptNames))
                    mNamed.push_back(name);
                rest =
                    comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            }
        }
    }
    bool operator()(std::string_view AName) const {
        return InList(AName, HopByHopNames) || InList(AName, mNamed);
    }

private:
    std::vector<std::string_view> mNamed;
};

// The fields that pass this hop, with the proxy added to the last Via (RFC
// 9110 7.6.3: each hop appends itself) or in a Via of its own at the end.
// A non-empty AHost is the target's: it replaces a Host that differs and is
// put first where none was sent.
void AppendPassingFields(std::string& AOut, const std::vector<THttpField>& AFields, int AVersion,
                         std::string_view AHost) {
    const THopByHop hopByHop(AFields);
    const std::string via =
        std::string(AVersion == 10 ? "1.0 " : "1.1 ") + std::string(ViaPseudonym);
    const THttpField* lastVia = nullptr;
    for (const THttpField& field : AFields)
        if (SameIgnoringCase(field.Name, "Via") && !hopByHop(field.Name))
            lastVia = &field;
    if (!AHost.empty() && CountFields(AFields, "Host") == 0)
        AOut.append("Host: ").append(AHost).append("\r\n");
    for (const THttpField& field : AFields) {
        if (hopByHop(field.Name))
            continue;
        AOut.append(field.Name).append(": ");
        if (!AHost.empty() && SameIgnoringCase(field.Name, "Host") &&
            !SameIgnoringCase(field.Value, AHost))
            AOut.append(AHost);
        else
            AOut.append(field.Value);
        if (&field == lastVia)
            AOut.append(", ").append(via);
        AOut.append("\r\n");
    }
    if (!lastVia)
        AOut.append("Via: ").append(via).append("\r\n");
}

std::optional<std::string> DecodeBase64(std::string_view AText) {
    std::string out;
    uint32_t bits = 0;
    int pending = 0;
    size_t padding = 0;
    for (const char c : AText) {
        if (c == '=') {
            ++padding;
            continue;
        }
        if (padding)
            return std::nullopt;
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else
            return std::nullopt;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            out += static_cast<char>((bits >> pending) & 0xff);
        }
    }
    // Six bits left over cannot end a group; padding fills a group up.
    if (pending == 6 || padding > 2 || (padding && AText.size() % 4 != 0))
        return std::nullopt;
    return out;
}

} // namespace

struct THttpParser::TImpl {
    enum class TState { Idle, Head, Body, Ending, Tunnel, Failed };
    // Where a callback stopped the library within the current execution.
    enum class TPause { None, Head, End };
    enum class TPiece { None, Name, Value };
    enum class TAnswers { Get, Head, Connect };

    TImpl(bool ARequests, size_t AMaxHead)
        : mRequests(ARequests), mMaxHead(std::max<size_t>(AMaxHead, 1)) {}

    THttpStep Feed(std::string_view AData);
    THttpStep Finish();

    void Begin();
    THttpStep FeedHead(std::string_view AData);
    THttpStep FeedBody(std::string_view AData);
    size_t Execute(const char* AData, size_t ASize);
    bool Failed() const { return HTTP_PARSER_ERRNO(&mParser) != HPE_OK; }
    THttpStep Fail(int AStatus) {
        mState = TState::Failed;
        mStatus = AStatus;
        return {THttpEvent::Error, 0, AStatus};
    }
    int BadStatus() const { return mRequests ? 400 : 502; }
    int LibraryErrorStatus() const {
        if (mFieldStatus)
            return mFieldStatus;
        if (mRequests && HTTP_PARSER_ERRNO(&mParser) == HPE_HEADER_OVERFLOW)
            return 431;
        return BadStatus();
    }
    int CheckRequest();
    int CheckResponse();
    void EndMessage();
    std::vector<THttpField>& Fields() { return mRequests ? mRequest.Fields : mResponse.Fields; }

    static TImpl& Of(http_parser* AParser) { return *static_cast<TImpl*>(AParser->data); }
    static int OnUrl(http_parser* AParser, const char* AAt, size_t ALength);
    static int OnStatus(http_parser* AParser, const char* AAt, size_t ALength);
    static int OnHeaderField(http_parser* AParser, const char* AAt, size_t ALength);
    static int OnHeaderValue(http_parser* AParser, const char* AAt, size_t ALength);
    static int OnHeadersComplete(http_parser* AParser);
    static int OnMessageComplete(http_parser* AParser);
    static const http_parser_settings Settings;

    http_parser mParser{};
    const bool mRequests;
    const size_t mMaxHead;
    TState mState = TState::Idle;
    TPause mPause = TPause::None;
    size_t mHeadBytes = 0;
    int mStatus = 0;
    // Stream position of the bytes the library is given: a value piece that
    // does not go on where the last one ended follows a folded line.
    uint64_t mOffset = 0;
    const char* mBuffer = nullptr;
    uint64_t mValueEnd = 0;
    TPiece mPiece = TPiece::None;
    bool mFoldBlanks = false;
    int mFieldStatus = 0;
    TAnswers mAnswers = TAnswers::Get;
    int mAnswersVersion = 11;
    THttpRequestHead mRequest;
    THttpResponseHead mResponse;
};

const http_parser_settings THttpParser::TImpl::Settings = {
    .on_message_begin = nullptr,
    .on_url = &TImpl::OnUrl,
    .on_status = &TImpl::OnStatus,
    .on_header_field = &TImpl::OnHeaderField,
    .on_header_value = &TImpl::OnHeaderValue,
    .on_headers_complete = &TImpl::OnHeadersComplete,
    .on_body = nullptr,
    .on_message_complete = &TImpl::OnMessageComplete,
    .on_chunk_header = nullptr,
    .on_chunk_complete = nullptr,
};

// The data callbacks only collect the head: field lines after it are a
// chunked body's trailers, passed on as body bytes. Nothing collected can
// outgrow the head, since no more than the head limit is given to the
// library before the head is complete.
int THttpParser::TImpl::OnUrl(http_parser* AParser, const char* AAt, size_t ALength) {
    TImpl& self = Of(AParser);
    if (self.mState == TState::Head)
        self.mRequest.Target.append(AAt, ALength);
    return 0;
}

int THttpParser::TImpl::OnStatus(http_parser* AParser, const char* AAt, size_t ALength) {
    TImpl& self = Of(AParser);
    if (self.mState == TState::Head)
        self.mResponse.Reason.append(AAt, ALength);
    return 0;
}

int THttpParser::TImpl::OnHeaderField(http_parser* AParser, const char* AAt, size_t ALength) {
    TImpl& self = Of(AParser);
    if (self.mState != TState::Head)
        return 0;
    std::vector<THttpField>& fields = self.Fields();
    if (self.mPiece != TPiece::Name) {
        if (fields.size() == HttpMaxFields) {
            self.mFieldStatus = self.mRequests ? 431 : 502;
            return 1;
        }
        fields.emplace_back();
        self.mPiece = TPiece::Name;
        self.mFoldBlanks = false;
    }
    fields.back().Name.append(AAt, ALength);
    return 0;
}

int THttpParser::TImpl::OnHeaderValue(http_parser* AParser, const char* AAt, size_t ALength) {
    TImpl& self = Of(AParser);
    if (self.mState != TState::Head)
        return 0;
    const uint64_t at = self.mOffset + static_cast<uint64_t>(AAt - self.mBuffer);
    std::string& value = self.Fields().back().Value;
    std::string_view piece(AAt, ALength);
    // An obs-fold (blanks, a line break, blanks) becomes one blank (RFC 9112
    // 5.2), wherever the feeds split its blanks.
    if (self.mPiece == TPiece::Value && at != self.mValueEnd) {
        value.erase(value.find_last_not_of(" \t") + 1);
        value += ' ';
        self.mFoldBlanks = true;
    }
    if (self.mFoldBlanks) {
        piece.remove_prefix(std::min(piece.find_first_not_of(" \t"), piece.size()));
        self.mFoldBlanks = piece.empty();
    }
    value.append(piece);
    self.mPiece = TPiece::Value;
    self.mValueEnd = at + ALength;
    return 0;
}

int THttpParser::TImpl::OnHeadersComplete(http_parser* AParser) {
    TImpl& self = Of(AParser);
    self.mPause = TPause::Head;
    http_parser_pause(AParser, 1);
    if (self.mRequests)
        return 0;
    // 1 tells the library that no body follows, 2 that the connection is a
    // tunnel from here. It would read a body for a 204 or 304 that has a
    // Content-Length (a 304 may well carry the length it did not send).
    const unsigned status = AParser->status_code;
    if (self.mAnswers == TAnswers::Connect && status / 100 == 2)
        return 2;
    if (status < 200 || status == 204 || status == 304 || self.mAnswers == TAnswers::Head)
        return 1;
    return 0;
}

int THttpParser::TImpl::OnMessageComplete(http_parser* AParser) {
    Of(AParser).mPause = TPause::End;
    http_parser_pause(AParser, 1);
    return 0;
}

size_t THttpParser::TImpl::Execute(const char* AData, size_t ASize) {
    mBuffer = AData;
    mPause = TPause::None;
    const size_t used = http_parser_execute(&mParser, &Settings, AData, ASize);
    mOffset += used;
    if (mPause != TPause::None)
        http_parser_pause(&mParser, 0);
    return used;
}

void THttpParser::TImpl::Begin() {
    http_parser_init(&mParser, mRequests ? HTTP_REQUEST : HTTP_RESPONSE);
    mParser.data = this;
    if (mRequests)
        mRequest = {};
    else
        mResponse = {};
    mHeadBytes = 0;
    mPiece = TPiece::None;
    mFieldStatus = 0;
    mState = TState::Head;
}

THttpStep THttpParser::TImpl::Feed(std::string_view AData) {
    switch (mState) {
    case TState::Failed:
        return {THttpEvent::Error, 0, mStatus};
    case TState::Tunnel:
        return {THttpEvent::Error, 0, BadStatus()};
    case TState::Ending:
        EndMessage();
        return {THttpEvent::End, 0, 0};
    case TState::Idle:
        if (AData.empty())
            return {};
        Begin();
        return FeedHead(AData);
    case TState::Head:
        return FeedHead(AData);
    case TState::Body:
        return FeedBody(AData);
    }
    return {};
}

THttpStep THttpParser::TImpl::FeedHead(std::string_view AData) {
    if (AData.empty())
        return {};
    const size_t used = Execute(AData.data(), std::min(AData.size(), mMaxHead - mHeadBytes));
    if (mPause == TPause::Head) {
        // The library stops before the head's last byte, a line feed, and
        // chooses the body's framing once it has that byte.
        mHeadBytes += used + 1;
        Execute(AData.data() + used, 1);
        if (Failed())
            return Fail(LibraryErrorStatus());
        if (const int status = mRequests ? CheckRequest() : CheckResponse())
            return Fail(status);
        mState = mPause == TPause::End ? TState::Ending : TState::Body;
        return {THttpEvent::Head, used + 1, 0};
    }
    if (Failed())
        return Fail(LibraryErrorStatus());
    mHeadBytes += used;
    if (mHeadBytes >= mMaxHead)
        return Fail(mRequests ? 431 : 502);
    return {THttpEvent::NeedMore, used, 0};
}

THttpStep THttpParser::TImpl::FeedBody(std::string_view AData) {
    if (AData.empty())
        return {};
    const size_t used = Execute(AData.data(), AData.size());
    if (mPause == TPause::End) {
        EndMessage();
        return {THttpEvent::End, used, 0};
    }
    if (Failed())
        return Fail(LibraryErrorStatus());
    return {THttpEvent::Body, used, 0};
}

THttpStep THttpParser::TImpl::Finish() {
    switch (mState) {
    case TState::Idle:
    case TState::Tunnel:
        return {};
    case TState::Failed:
        return {THttpEvent::Error, 0, mStatus};
    case TState::Ending:
        EndMessage();
        return {THttpEvent::End, 0, 0};
    case TState::Head:
        return Fail(BadStatus());
    case TState::Body:
        // An empty execution tells the library that the stream has ended.
        Execute(nullptr, 0);
        if (mPause == TPause::End) {
            EndMessage();
            return {THttpEvent::End, 0, 0};
        }
        return Fail(BadStatus());
    }
    return {};
}

int THttpParser::TImpl::CheckRequest() {
    THttpRequestHead& request = mRequest;
    if (mParser.http_major != 1)
        return 400;
    request.Version = mParser.http_minor == 0 ? 10 : 11;
    request.Method = http_method_str(static_cast<http_method>(mParser.method));
    if (!CheckFields(request.Fields) || !IsTargetText(request.Target) ||
        CountFields(request.Fields, "Host") > 1 ||
        !ParseTarget(request, mParser.method == HTTP_CONNECT))
        return 400;
    // The library reads Connection and, as clients send it to proxies,
    // Proxy-Connection.
    request.KeepAlive = http_should_keep_alive(&mParser) != 0;
    return 0;
}

int THttpParser::TImpl::CheckResponse() {
    THttpResponseHead& response = mResponse;
    response.Status = static_cast<int>(mParser.status_code);
    // 101 would switch protocols, which no request passed on asks for
    // (Upgrade does not pass the proxy).
    if (mParser.http_major != 1 || response.Status < 100 || response.Status > 599 ||
        response.Status == 101)
        return 502;
    response.Version = mParser.http_minor == 0 ? 10 : 11;
    if (!IsFieldText(response.Reason) || !CheckFields(response.Fields))
        return 502;
    const bool noBody = mParser.flags & F_SKIPBODY;
    response.EndsWithClose =
        !noBody && !(mParser.flags & F_CHUNKED) && mParser.content_length == ULLONG_MAX;
    // An HTTP/1.0 request is passed on without keep-alive, so its origin
    // closes unless it says otherwise.
    response.KeepAlive = http_should_keep_alive(&mParser) != 0 &&
                         (mAnswersVersion != 10 || (mParser.flags & F_CONNECTION_KEEP_ALIVE));
    return 0;
}

void THttpParser::TImpl::EndMessage() {
    const bool tunnel = mRequests ? mParser.method == HTTP_CONNECT
                                  : mAnswers == TAnswers::Connect && mResponse.Status / 100 == 2;
    if (!mRequests && !mResponse.Interim()) {
        mAnswers = TAnswers::Get;
        mAnswersVersion = 11;
    }
    mState = tunnel ? TState::Tunnel : TState::Idle;
}

THttpParser::THttpParser(bool ARequests, size_t AMaxHead)
    : mImpl(std::make_unique<TImpl>(ARequests, AMaxHead)) {}

THttpParser::~THttpParser() = default;

THttpStep THttpParser::Feed(std::string_view AData) {
    return mImpl->Feed(AData);
}

THttpStep THttpParser::Finish() {
    return mImpl->Finish();
}

bool THttpParser::Tunnel() const {
    return mImpl->mState == TImpl::TState::Tunnel;
}

bool THttpParser::Idle() const {
    return mImpl->mState == TImpl::TState::Idle;
}

THttpRequestParser::THttpRequestParser(size_t AMaxHead) : THttpParser(true, AMaxHead) {}

const THttpRequestHead& THttpRequestParser::Head() const {
    return mImpl->mRequest;
}

THttpResponseParser::THttpResponseParser(size_t AMaxHead) : THttpParser(false, AMaxHead) {}

void THttpResponseParser::ExpectResponseTo(std::string_view AMethod, int AVersion) {
    mImpl->mAnswers = AMethod == "HEAD"      ? TImpl::TAnswers::Head
                      : AMethod == "CONNECT" ? TImpl::TAnswers::Connect
                                             : TImpl::TAnswers::Get;
    mImpl->mAnswersVersion = AVersion;
}

const THttpResponseHead& THttpResponseParser::Head() const {
    return mImpl->mResponse;
}

std::string OriginRequestHead(const THttpRequestHead& ARequest) {
    std::string head = ARequest.Method + ' ' + ARequest.Path +
                       (ARequest.Version == 10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
    AppendPassingFields(head, ARequest.Fields, ARequest.Version, ARequest.Authority);
    head += "\r\n";
    return head;
}

std::string ClientResponseHead(const THttpResponseHead& AResponse, bool AKeepAlive,
                               int AClientVersion) {
    // HTTP/1.0 has no 1xx responses (RFC 9110 15.2).
    if (AResponse.Interim() && AClientVersion == 10)
        return {};
    std::string head =
        "HTTP/1.1 " + std::to_string(AResponse.Status) + ' ' + AResponse.Reason + "\r\n";
    AppendPassingFields(head, AResponse.Fields, AResponse.Version, {});
    if (!AResponse.Interim()) {
        if (!AKeepAlive || AResponse.EndsWithClose)
            head += "Connection: close\r\n";
        else if (AClientVersion == 10)
            head += "Connection: keep-alive\r\n";
    }
    head += "\r\n";
    return head;
}

std::optional<THttpCredentials> ProxyCredentials(const THttpRequestHead& ARequest) {
    const THttpField* found = nullptr;
    for (const THttpField& field : ARequest.Fields) {
        if (!SameIgnoringCase(field.Name, "Proxy-Authorization"))
            continue;
        if (found)
            return std::nullopt;
        found = &field;
    }
    if (!found)
        return std::nullopt;
    const std::string_view value = found->Value;
    const size_t blank = value.find(' ');
    if (blank == std::string_view::npos || !SameIgnoringCase(value.substr(0, blank), "Basic"))
        return std::nullopt;
    const std::optional<std::string> decoded = DecodeBase64(TrimOws(value.substr(blank)));
    if (!decoded)
        return std::nullopt;
    const size_t colon = decoded->find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    return THttpCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

std::string ErrorResponse(int AStatus) {
    const std::string status =
        std::to_string(AStatus) + ' ' + http_status_str(static_cast<http_status>(AStatus));
    const std::string body = status + '\n';
    std::string answer = "HTTP/1.1 " + status + "\r\n";
    if (AStatus == 407)
        answer += "Proxy-Authenticate: Basic realm=\"Kestrune\"\r\n";
    answer += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
              "\r\nConnection: close\r\n\r\n" + body;
    return answer;
}

} // namespace kestrune
