// The HTTP message module: framing in any split of the stream, what a head
// holds, the heads rewritten for the next hop, credentials and the proxy's
// own answers, each checked on the bytes themselves.
#include "proxy/HttpMessage.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace kestrune {
namespace {

// What a parser says of a stream fed in APieces: "head ..." (start line and
// keep-alive), "body ..." (all body bytes of one message, however the feeds
// split them), "end", "error N", "tunnel ..." (the bytes after the
// CONNECT); with AFinish the stream's close follows. A response parser
// answers AMethods in order, one per final response.
template <typename TParser>
std::string Transcript(TParser& AParser, const std::vector<std::string_view>& APieces,
                       const std::vector<std::string>& AMethods = {}, bool AFinish = false) {
    constexpr bool responses = std::is_same_v<TParser, THttpResponseParser>;
    std::string out, body, held;
    size_t answered = 0;
    auto expectNext = [&] {
        if constexpr (responses)
            if (answered < AMethods.size())
                AParser.ExpectResponseTo(AMethods[answered]);
    };
    auto note = [&](std::string_view AEntry) {
        out.append(out.empty() ? "" : " | ").append(AEntry);
    };
    // Answers whether the stream goes on as HTTP.
    auto record = [&](const THttpStep& AStep, std::string_view AUsed) {
        switch (AStep.Event) {
        case THttpEvent::NeedMore:
            return true;
        case THttpEvent::Head: {
            const auto& head = AParser.Head();
            if constexpr (responses)
                note("head " + std::to_string(head.Status) + (head.KeepAlive ? " keep-alive" : "") +
                     (head.EndsWithClose ? " ends-with-close" : ""));
            else
                note("head " + head.Method + " " + head.Target +
                     (head.KeepAlive ? " keep-alive" : ""));
            return true;
        }
        case THttpEvent::Body:
            body += AUsed;
            return true;
        case THttpEvent::End:
            body += AUsed;
            if (!body.empty())
                note("body " + body);
            body.clear();
            note("end");
            if constexpr (responses) {
                if (!AParser.Head().Interim()) {
                    ++answered;
                    expectNext();
                }
            }
            return true;
        case THttpEvent::Error:
            if (!body.empty())
                note("body " + body);
            note("error " + std::to_string(AStep.Status));
            return false;
        }
        return false;
    };
    expectNext();
    for (size_t i = 0; i < APieces.size(); ++i) {
        held += APieces[i];
        for (;;) {
            const THttpStep step = AParser.Feed(held);
            if (step.Consumed > held.size())
                return out + " | overrun";
            const std::string used = held.substr(0, step.Consumed);
            held.erase(0, step.Consumed);
            if (!record(step, used))
                return out;
            if (AParser.Tunnel()) {
                for (size_t j = i + 1; j < APieces.size(); ++j)
                    held += APieces[j];
                note("tunnel " + held);
                return out;
            }
            if (step.Event == THttpEvent::NeedMore)
                break;
        }
    }
    if (AFinish)
        record(AParser.Finish(), {});
    else if (!body.empty())
        note("body " + body);
    return out;
}

std::vector<std::string_view> Whole(std::string_view AStream) {
    return {AStream};
}

std::vector<std::string_view> Bytes(std::string_view AStream) {
    std::vector<std::string_view> pieces;
    for (size_t i = 0; i < AStream.size(); ++i)
        pieces.push_back(AStream.substr(i, 1));
    return pieces;
}

// Every split of AStream gives the transcript of the whole: byte by byte and
// cut once at each place.
template <typename TParser>
void ExpectEverySplit(std::string_view AStream, const std::string& AExpected,
                      const std::vector<std::string>& AMethods = {}, bool AFinish = false) {
    TParser whole, bytes;
    EXPECT_EQ(Transcript(whole, Whole(AStream), AMethods, AFinish), AExpected);
    EXPECT_EQ(Transcript(bytes, Bytes(AStream), AMethods, AFinish), AExpected) << "byte by byte";
    for (size_t cut = 1; cut < AStream.size(); ++cut) {
        TParser parser;
        ASSERT_EQ(
            Transcript(parser, {AStream.substr(0, cut), AStream.substr(cut)}, AMethods, AFinish),
            AExpected)
            << "cut at " << cut;
    }
}

// The head of one request fed whole; an empty head when it is no request.
THttpRequestHead RequestHead(std::string_view ARequest) {
    THttpRequestParser parser;
    const THttpStep step = parser.Feed(ARequest);
    EXPECT_EQ(step.Event, THttpEvent::Head) << ARequest;
    return step.Event == THttpEvent::Head ? parser.Head() : THttpRequestHead{};
}

THttpResponseHead ResponseHead(std::string_view AResponse, std::string_view AMethod = "GET",
                               int AVersion = 11) {
    THttpResponseParser parser;
    parser.ExpectResponseTo(AMethod, AVersion);
    const THttpStep step = parser.Feed(AResponse);
    EXPECT_EQ(step.Event, THttpEvent::Head) << AResponse;
    return step.Event == THttpEvent::Head ? parser.Head() : THttpResponseHead{};
}

TEST(HttpMessage, PipelinedRequestsGiveTheSameEventsInEverySplit) {
    const std::string stream =
        // no body
        "GET http://localhost/a?b=1 HTTP/1.1\r\nHost: localhost\r\n\r\n"
        // Content-Length body
        "POST http://localhost:8080/form HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"
        // chunked body with a trailer: passed on as sent
        "POST http://localhost/up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5;ext=1\r\nhello\r\n0\r\nX-Sum: 5\r\n\r\n"
        // bare line feeds, HTTP/1.0
        "GET http://localhost/ HTTP/1.0\nAccept: */*\n\n"
        // a CONNECT, after which the bytes are the tunnel's
        "CONNECT localhost:443 HTTP/1.1\r\n\r\n\x16\x03\x01";
    ExpectEverySplit<THttpRequestParser>(
        stream, "head GET http://localhost/a?b=1 keep-alive | end"
                " | head POST http://localhost:8080/form keep-alive | body hello | end"
                " | head POST http://localhost/up keep-alive"
                " | body 5;ext=1\r\nhello\r\n0\r\nX-Sum: 5\r\n\r\n | end"
                " | head GET http://localhost/ | end"
                " | head CONNECT localhost:443 keep-alive | end | tunnel \x16\x03\x01");

    // A request that is cut short is an error at the close, one between
    // requests is not.
    THttpRequestParser cut, between;
    EXPECT_EQ(
        Transcript(cut, Whole("POST http://a/ HTTP/1.1\r\nContent-Length: 5\r\n\r\nhel"), {}, true),
        "head POST http://a/ keep-alive | body hel | error 400");
    EXPECT_EQ(Transcript(between, Whole("GET http://a/ HTTP/1.1\r\n\r\n"), {}, true),
              "head GET http://a/ keep-alive | end");
    EXPECT_TRUE(between.Idle());
}

TEST(HttpMessage, RequestHeadHoldsTheTargetPartsAndTheFieldsAsReceived) {
    THttpRequestHead head = RequestHead("GET http://LocalHost HTTP/1.1\r\n"
                                        "Host: localhost\r\n"
                                        "x-lower:   padded value \t\r\n"
                                        "X-Empty:\r\n"
                                        "Folded: one \r\n \t two\r\n\r\n");
    EXPECT_EQ(head.Method, "GET");
    EXPECT_EQ(head.Version, 11);
    EXPECT_EQ(head.Form, THttpTargetForm::Absolute);
    EXPECT_EQ(head.Host, "LocalHost");
    EXPECT_EQ(head.Port, 80);
    EXPECT_EQ(head.Authority, "LocalHost");
    EXPECT_EQ(head.Path, "/");
    ASSERT_EQ(head.Fields.size(), 4u);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Host", "localhost"}, {"x-lower", "padded value"}, {"X-Empty", ""}, {"Folded", "one two"}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(head.Fields[i].Name, expected[i].first);
        EXPECT_EQ(head.Fields[i].Value, expected[i].second);
    }

    head = RequestHead("PUT http://[::1]:8080/x/y?q=1#part HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.Form, THttpTargetForm::Absolute);
    EXPECT_EQ(head.Host, "::1");
    EXPECT_EQ(head.Port, 8080);
    EXPECT_EQ(head.Authority, "[::1]:8080");
    EXPECT_EQ(head.Path, "/x/y?q=1"); // a fragment is not sent on

    head = RequestHead("GET http://localhost?q HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.Path, "/?q");

    head = RequestHead("CONNECT [::1]:443 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.Form, THttpTargetForm::Authority);
    EXPECT_EQ(head.Host, "::1");
    EXPECT_EQ(head.Port, 443);

    EXPECT_EQ(RequestHead("GET /index.html HTTP/1.1\r\n\r\n").Form, THttpTargetForm::Origin);
    EXPECT_EQ(RequestHead("OPTIONS * HTTP/1.1\r\n\r\n").Form, THttpTargetForm::Asterisk);
}

TEST(HttpMessage, KeepAliveFollowsTheVersionAndConnection) {
    const std::pair<std::string, bool> cases[] = {
        {"GET http://a/ HTTP/1.1\r\n\r\n", true},
        {"GET http://a/ HTTP/1.1\r\nConnection: close\r\n\r\n", false},
        {"GET http://a/ HTTP/1.1\r\nConnection: x-hop, Close\r\n\r\n", false},
        {"GET http://a/ HTTP/1.0\r\n\r\n", false},
        {"GET http://a/ HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", true},
        {"GET http://a/ HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n\r\n", true},
    };
    for (const auto& [request, keepAlive] : cases)
        EXPECT_EQ(RequestHead(request).KeepAlive, keepAlive) << request;

    // Responses: what the origin will do with its connection.
    const std::tuple<std::string, int, bool> responses[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 11, true},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", 11, false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", 11, false},
        {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n", 11, true},
        // the answer to an HTTP/1.0 request, passed on without keep-alive
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 10, false},
        {"HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n", 10, true},
        // a body up to the close
        {"HTTP/1.1 200 OK\r\n\r\n", 11, false},
    };
    for (const auto& [response, version, keepAlive] : responses)
        EXPECT_EQ(ResponseHead(response, "GET", version).KeepAlive, keepAlive) << response;
}

TEST(HttpMessage, MalformedRequestsGet400) {
    const std::string cases[] = {
        "get http://a/ HTTP/1.1\r\n\r\n",                       // methods are case-sensitive
        "GET http://a/ HTTP/2.0\r\n\r\n",                       // not HTTP/1
        "GET http://a/\tb HTTP/1.1\r\n\r\n",                    // a tab in the target
        "GET https://a/ HTTP/1.1\r\n\r\n",                      // not plain http
        "GET http://user:pw@a/ HTTP/1.1\r\n\r\n",               // user information
        "GET http://a:0/ HTTP/1.1\r\n\r\n",                     // port 0
        "GET a:80 HTTP/1.1\r\n\r\n",                            // authority form without CONNECT
        "CONNECT localhost HTTP/1.1\r\n\r\n",                   // CONNECT without a port
        "CONNECT localhost:0 HTTP/1.1\r\n\r\n",                 //
        "GET http://a/ HTTP/1.1\r\nBad Name: x\r\n\r\n",        // a blank in a field name
        "GET http://a/ HTTP/1.1\r\nHost : a\r\n\r\n",           // a blank before the colon
        "GET http://a/ HTTP/1.1\r\nX: a\rb\r\n\r\n",            // a lone CR in a value
        "GET http://a/ HTTP/1.1\r\nX: a\x01\r\n\r\n",           // a control byte in a value
        "GET http://a/ HTTP/1.1\r\n: x\r\n\r\n",                // no field name
        "GET http://a/ HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", // two hosts
        "POST http://a/ HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n",
        "POST http://a/ HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx",
        "POST http://a/ HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
        "POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n",
        "POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
    };
    for (const std::string& request : cases) {
        THttpRequestParser parser;
        EXPECT_TRUE(Transcript(parser, Whole(request)).ends_with("error 400")) << request;
        // An error stays: nothing more is taken.
        const THttpStep again = parser.Feed("GET http://a/ HTTP/1.1\r\n\r\n");
        EXPECT_EQ(again.Event, THttpEvent::Error);
        EXPECT_EQ(again.Consumed, 0u);
    }
    // The last one fails only in its body, after its head.
    THttpRequestParser chunked;
    EXPECT_EQ(Transcript(chunked, Whole(cases[std::size(cases) - 1])),
              "head POST http://a/ keep-alive | error 400");
}

TEST(HttpMessage, HeadLargerThanTheLimitGets431) {
    // The limit counts the request line, the field lines and the empty line.
    const std::string line = "GET http://a/ HTTP/1.1\r\n";
    auto request = [&](size_t ASize) {
        const size_t fixed = line.size() + std::string("X: \r\n\r\n").size();
        return line + "X: " + std::string(ASize - fixed, 'v') + "\r\n\r\n";
    };
    for (auto split : {Whole, Bytes}) {
        THttpRequestParser atLimit, over;
        const std::string fits = request(HttpMaxHead), tooLarge = request(HttpMaxHead + 1);
        EXPECT_EQ(Transcript(atLimit, split(fits)), "head GET http://a/ keep-alive | end");
        EXPECT_EQ(Transcript(over, split(tooLarge)), "error 431");
    }
    // The parser decides at the limit: it does not wait for the rest.
    THttpRequestParser endless;
    EXPECT_EQ(endless.Feed(request(HttpMaxHead + 100).substr(0, HttpMaxHead)).Event,
              THttpEvent::Error);

    // The limit is a parameter; so many fields cost more than their bytes.
    std::string fields;
    for (size_t i = 0; i < HttpMaxFields; ++i)
        fields += "A: 1\r\n";
    THttpRequestParser small(100), manyFields, tooManyFields;
    EXPECT_EQ(Transcript(small, Whole(request(101))), "error 431");
    EXPECT_EQ(Transcript(manyFields, Whole(line + fields + "\r\n")),
              "head GET http://a/ keep-alive | end");
    EXPECT_EQ(Transcript(tooManyFields, Whole(line + fields + "A: 1\r\n\r\n")), "error 431");
}

TEST(HttpMessage, ResponseFramingFollowsTheRequestAndTheStatus) {
    const std::string stream =
        // to a POST: a 100 Continue, then the final response
        "HTTP/1.1 100 Continue\r\n\r\n"
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"
        // to a HEAD: the length of what a GET would get, no body
        "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n"
        // 304 and 204 carry no body, whatever they say
        "HTTP/1.1 304 Not Modified\r\nContent-Length: 1234\r\n\r\n"
        "HTTP/1.1 204 No Content\r\n\r\n"
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n"
        // neither length nor chunks: the body ends with the connection
        "HTTP/1.0 200 OK\r\n\r\nup to the close";
    ExpectEverySplit<THttpResponseParser>(
        stream,
        "head 100 keep-alive | end | head 200 keep-alive | body ok | end"
        " | head 200 keep-alive | end | head 304 keep-alive | end | head 204 keep-alive | end"
        " | head 200 keep-alive | body 2\r\nok\r\n0\r\n\r\n | end"
        " | head 200 ends-with-close | body up to the close | end",
        {"POST", "HEAD", "GET", "GET", "GET", "GET"}, true);

    // A refused CONNECT has a body; an accepted one opens the tunnel.
    ExpectEverySplit<THttpResponseParser>(
        "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 4\r\n\r\ndeny"
        "HTTP/1.1 200 Connection established\r\n\r\n\x16\x03\x03",
        "head 407 keep-alive | body deny | end | head 200 keep-alive | end | tunnel \x16\x03\x03",
        {"CONNECT", "CONNECT"});
}

TEST(HttpMessage, BadResponsesGet502) {
    const std::string cases[] = {
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", // no Upgrade was sent
        "HTTP/2.0 200 OK\r\n\r\n",
        "HTTP/1.1 099 Low\r\n\r\n",
        "HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab", // cut short by the close
        "HTTP/1.1 200 OK\r\nContent-Le",                  // cut short in its head
    };
    for (const std::string& response : cases) {
        THttpResponseParser parser;
        const std::string transcript = Transcript(parser, Whole(response), {}, true);
        EXPECT_TRUE(transcript.ends_with("error 502")) << response << ": " << transcript;
    }
}

TEST(HttpMessage, OriginRequestLosesTheHopByHopFieldsAndGainsVia) {
    const THttpRequestHead head = RequestHead("GET http://localhost:8080/p?q HTTP/1.1\r\n"
                                              "Host: elsewhere\r\n"
                                              "Connection: keep-alive, X-Secret, Content-Length\r\n"
                                              "X-Secret: 1\r\n"
                                              "Proxy-Connection: keep-alive\r\n"
                                              "Keep-Alive: 300\r\n"
                                              "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"
                                              "TE: trailers\r\n"
                                              "Trailer: X-Sum\r\n"
                                              "Upgrade: websocket\r\n"
                                              "Via: 1.0 first\r\n"
                                              "Accept: */*\r\n"
                                              "Content-Length: 0\r\n\r\n");
    // Host from the target in its place; a Content-Length that Connection
    // names still frames the body.
    EXPECT_EQ(OriginRequestHead(head), "GET /p?q HTTP/1.1\r\n"
                                       "Host: localhost:8080\r\n"
                                       "Via: 1.0 first, 1.1 kestrune\r\n"
                                       "Accept: */*\r\n"
                                       "Content-Length: 0\r\n\r\n");
    // No Host: the target's comes first; HTTP/1.0 stays 1.0.
    EXPECT_EQ(OriginRequestHead(RequestHead("GET http://[::1]/ HTTP/1.0\r\nAccept: */*\r\n\r\n")),
              "GET / HTTP/1.0\r\nHost: [::1]\r\nAccept: */*\r\nVia: 1.0 kestrune\r\n\r\n");
}

TEST(HttpMessage, ClientResponseSaysWhetherTheConnectionStays) {
    const THttpResponseHead head = ResponseHead("HTTP/1.1 200 OK\r\n"
                                                "Connection: close, X-Hop\r\n"
                                                "X-Hop: 1\r\n"
                                                "Keep-Alive: timeout=5\r\n"
                                                "Content-Length: 2\r\n"
                                                "Via: 1.1 upstream\r\n\r\n");
    const std::string passed = "HTTP/1.1 200 OK\r\n"
                               "Content-Length: 2\r\n"
                               "Via: 1.1 upstream, 1.1 kestrune\r\n";
    EXPECT_EQ(ClientResponseHead(head, true), passed + "\r\n");
    EXPECT_EQ(ClientResponseHead(head, false), passed + "Connection: close\r\n\r\n");
    EXPECT_EQ(ClientResponseHead(head, true, 10), passed + "Connection: keep-alive\r\n\r\n");

    // A body up to the origin's close ends the client's connection too.
    EXPECT_EQ(ClientResponseHead(ResponseHead("HTTP/1.0 200 OK\r\nServer: s\r\n\r\n"), true),
              "HTTP/1.1 200 OK\r\nServer: s\r\nVia: 1.0 kestrune\r\nConnection: close\r\n\r\n");
    // 1xx: no say on the connection, and none at all to an HTTP/1.0 client.
    const THttpResponseHead interim = ResponseHead("HTTP/1.1 100 Continue\r\n\r\n", "POST");
    EXPECT_EQ(ClientResponseHead(interim, false),
              "HTTP/1.1 100 Continue\r\nVia: 1.1 kestrune\r\n\r\n");
    EXPECT_EQ(ClientResponseHead(interim, true, 10), "");
}

TEST(HttpMessage, BasicCredentialsAreDecodedOrNone) {
    auto credentials = [](const std::string& AFields) {
        const auto found =
            ProxyCredentials(RequestHead("GET http://a/ HTTP/1.1\r\n" + AFields + "\r\n"));
        return found ? found->User + "|" + found->Password : "none";
    };
    EXPECT_EQ(credentials("Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"), "user|pass");
    EXPECT_EQ(credentials("proxy-authorization: basic   dTpwOnc=\r\n"), "u|p:w"); // "u:p:w"
    EXPECT_EQ(credentials("Proxy-Authorization: Basic Og==\r\n"), "|");           // ":"
    EXPECT_EQ(credentials("Proxy-Authorization: Basic dTp2\r\n"), "u|v");         // "u:v"
    EXPECT_EQ(credentials("Proxy-Authorization: Basic dTp2Y\r\n"), "none");       // a sextet left
    for (const std::string bad :
         {"", "Authorization: Basic dXNlcjpwYXNz\r\n",
          "Proxy-Authorization: Bearer dXNlcjpwYXNz\r\n", "Proxy-Authorization: Basic\r\n",
          "Proxy-Authorization: Basic dXNlcg==\r\n", // "user", no colon
          "Proxy-Authorization: Basic dXNl*jpwYXNz\r\n",
          "Proxy-Authorization: Basic dXNlcjpwYXN=z\r\n",
          "Proxy-Authorization: Basic dTp2=\r\n", // padding past a whole group
          "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"
          "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"})
        EXPECT_EQ(credentials(bad), "none") << bad;
}

TEST(HttpMessage, OwnAnswersAreWholeResponsesThatClose) {
    EXPECT_EQ(ErrorResponse(407), "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                  "Proxy-Authenticate: Basic realm=\"Kestrune\"\r\n"
                                  "Content-Type: text/plain\r\n"
                                  "Content-Length: 34\r\n"
                                  "Connection: close\r\n\r\n"
                                  "407 Proxy Authentication Required\n");
    const std::pair<int, std::string> answers[] = {{400, "Bad Request"},
                                                   {403, "Forbidden"},
                                                   {431, "Request Header Fields Too Large"},
                                                   {502, "Bad Gateway"},
                                                   {504, "Gateway Timeout"}};
    for (const auto& [status, reason] : answers) {
        THttpResponseParser parser;
        const std::string code = std::to_string(status);
        EXPECT_EQ(Transcript(parser, Whole(ErrorResponse(status))),
                  "head " + code + " | body " + code + " " + reason + "\n | end");
        EXPECT_EQ(parser.Head().Reason, reason);
    }
    EXPECT_EQ(HttpConnectEstablished, "HTTP/1.1 200 Connection established\r\n\r\n");
}

} // namespace
} // namespace kestrune
