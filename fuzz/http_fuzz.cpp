// Feeds arbitrary bytes to the HTTP parsers as a client's requests or as an
// origin's responses, once whole and once in pseudo-random pieces. Both
// feeds must give the same events and the same heads; no feed may use more
// than it was given; a head holds no more than the head limit; and every
// head that the proxy would pass on must parse again with the same start
// line, so that nothing received can change the message it is put in.
//
// The first input byte picks the direction (bit 0) and the head limit (bit
// 1: 64 KB or 512 bytes, to reach the limit often) and seeds the piece sizes
// and the methods that the responses answer; the rest is the stream, whose
// close follows it.
#include "proxy/HttpMessage.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

using namespace kestrune;

namespace {

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "http_fuzz: %s\n", what);
        std::abort();
    }
}

constexpr std::string_view Methods[] = {"GET", "HEAD", "CONNECT", "POST"};

// The method the Nth final response answers: the seed's upper six bits
// name three in turn.
std::string_view MethodOf(uint8_t ASeed, size_t AIndex) {
    return Methods[(ASeed >> (2 + 2 * (AIndex % 3))) & 3];
}

std::string Describe(const std::vector<THttpField>& AFields) {
    std::string out;
    for (const THttpField& field : AFields)
        out += " [" + field.Name + "=" + field.Value + "]";
    return out;
}

std::string Describe(const THttpRequestHead& AHead) {
    return AHead.Method + " " + AHead.Target + " " + std::to_string(AHead.Version) + " " +
           std::to_string(static_cast<int>(AHead.Form)) + " " + AHead.Host + " " +
           std::to_string(AHead.Port) + " " + AHead.Authority + " " + AHead.Path +
           (AHead.KeepAlive ? " keep" : "") + Describe(AHead.Fields);
}

std::string Describe(const THttpResponseHead& AHead) {
    return std::to_string(AHead.Status) + " " + AHead.Reason + " " + std::to_string(AHead.Version) +
           (AHead.KeepAlive ? " keep" : "") + (AHead.EndsWithClose ? " eof" : "") +
           Describe(AHead.Fields);
}

size_t HeldBytes(const std::vector<THttpField>& AFields) {
    size_t bytes = 0;
    for (const THttpField& field : AFields)
        bytes += field.Name.size() + field.Value.size();
    return bytes;
}

bool IsHopByHop(std::string_view AName) {
    for (std::string_view name : {"connection", "proxy-connection", "keep-alive",
                                  "proxy-authorization", "te", "trailer", "upgrade"}) {
        if (AName.size() == name.size() &&
            std::equal(AName.begin(), AName.end(), name.begin(),
                       [](char a, char b) { return (a | 0x20) == b; }))
            return true;
    }
    return false;
}

void CheckPassedOn(const THttpRequestHead& AHead, size_t ALimit) {
    Require(AHead.Target.size() + HeldBytes(AHead.Fields) <= ALimit, "a head beyond the limit");
    ProxyCredentials(AHead);
    // Two more fields (Host, Via) might not fit in the field limit again.
    if (AHead.Form != THttpTargetForm::Absolute || AHead.Fields.size() + 2 > HttpMaxFields)
        return;
    const std::string head = OriginRequestHead(AHead);
    THttpRequestParser parser(head.size());
    const THttpStep step = parser.Feed(head);
    Require(step.Event == THttpEvent::Head && step.Consumed == head.size(),
            "a request passed on does not parse");
    const THttpRequestHead& again = parser.Head();
    Require(again.Method == AHead.Method && again.Target == AHead.Path &&
                again.Version == AHead.Version && again.Form == THttpTargetForm::Origin,
            "a request passed on has another request line");
    for (const THttpField& field : again.Fields)
        Require(!IsHopByHop(field.Name), "a hop-by-hop field passed on");
}

void CheckPassedOn(const THttpResponseHead& AHead, size_t ALimit, std::string_view AMethod) {
    Require(AHead.Reason.size() + HeldBytes(AHead.Fields) <= ALimit, "a head beyond the limit");
    if (AHead.Fields.size() + 2 > HttpMaxFields)
        return;
    for (const bool keepAlive : {false, true}) {
        const std::string head = ClientResponseHead(AHead, keepAlive);
        THttpResponseParser parser(head.size());
        parser.ExpectResponseTo(AMethod);
        const THttpStep step = parser.Feed(head);
        Require(step.Event == THttpEvent::Head && step.Consumed == head.size(),
                "a response passed on does not parse");
        const THttpResponseHead& again = parser.Head();
        Require(again.Status == AHead.Status && again.Reason == AHead.Reason,
                "a response passed on has another status line");
        Require(AHead.Interim() || keepAlive || !again.KeepAlive,
                "a response passed on keeps a connection that closes");
        // Only the proxy's own Connection, last, may say what the connection does.
        for (size_t i = 0; i < again.Fields.size(); ++i)
            Require(
                !IsHopByHop(again.Fields[i].Name) ||
                    (i + 1 == again.Fields.size() && again.Fields[i].Name == "Connection" &&
                     (again.Fields[i].Value == "close" || again.Fields[i].Value == "keep-alive")),
                "a hop-by-hop field passed on");
    }
}

uint32_t Next(uint32_t& AState) {
    AState ^= AState << 13;
    AState ^= AState >> 17;
    AState ^= AState << 5;
    return AState;
}

// The events of one feed of AStream, whole or in pieces of 1 to 97 bytes:
// each head described in full, each message's body by its length (both
// runs take it from the same place of the same stream), its end, an error
// or the tunnel's bytes.
template <typename TParser>
std::string Run(std::string_view AStream, uint8_t ASeed, size_t ALimit, bool ASplit) {
    constexpr bool responses = std::is_same_v<TParser, THttpResponseParser>;
    TParser parser(ALimit);
    std::string events, held;
    size_t bodyBytes = 0, answered = 0, at = 0;
    uint32_t random = (ASeed + 1u) * 2654435761u ^ static_cast<uint32_t>(AStream.size());
    if constexpr (responses)
        parser.ExpectResponseTo(MethodOf(ASeed, 0));
    // Answers whether the stream goes on as HTTP.
    auto record = [&](const THttpStep& AStep) {
        switch (AStep.Event) {
        case THttpEvent::NeedMore:
            return true;
        case THttpEvent::Head:
            events += "H " + Describe(parser.Head()) + "\n";
            if constexpr (responses)
                CheckPassedOn(parser.Head(), ALimit, MethodOf(ASeed, answered));
            else
                CheckPassedOn(parser.Head(), ALimit);
            return true;
        case THttpEvent::Body:
            bodyBytes += AStep.Consumed;
            return true;
        case THttpEvent::End:
            events += "B" + std::to_string(bodyBytes + AStep.Consumed) + " E\n";
            bodyBytes = 0;
            if constexpr (responses)
                if (!parser.Head().Interim())
                    parser.ExpectResponseTo(MethodOf(ASeed, ++answered));
            return true;
        case THttpEvent::Error:
            // What body bytes came before depends on the pieces: a streamed
            // body is passed on as it comes.
            events += "X" + std::to_string(AStep.Status);
            return false;
        }
        return false;
    };
    do {
        const size_t piece = ASplit ? 1 + Next(random) % 97 : AStream.size();
        held.append(AStream.substr(at, piece));
        at = std::min(at + piece, AStream.size());
        for (;;) {
            const THttpStep step = parser.Feed(held);
            Require(step.Consumed <= held.size(), "a feed used more than it was given");
            // So the caller never has to keep what it read.
            Require((step.Event != THttpEvent::NeedMore && step.Event != THttpEvent::Body) ||
                        step.Consumed == held.size(),
                    "a feed left bytes without a reason");
            held.erase(0, step.Consumed);
            if (!record(step))
                return events;
            if (parser.Tunnel())
                return events + "T " + held + std::string(AStream.substr(at));
            if (step.Event == THttpEvent::NeedMore)
                break;
        }
    } while (at < AStream.size());
    record(parser.Finish());
    return events;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t seed = data[0];
    const size_t limit = seed & 2 ? 512 : HttpMaxHead;
    const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool responses = seed & 1;
    const std::string whole = responses ? Run<THttpResponseParser>(stream, seed, limit, false)
                                        : Run<THttpRequestParser>(stream, seed, limit, false);
    const std::string split = responses ? Run<THttpResponseParser>(stream, seed, limit, true)
                                        : Run<THttpRequestParser>(stream, seed, limit, true);
    Require(whole == split, "a split changed the events");
    return 0;
}
