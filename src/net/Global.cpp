#include "net/Global.h"

#include <csignal>
#include <mutex>

namespace kestrune {

void IgnoreSigPipe() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        sigaction(SIGPIPE, &action, nullptr);
    });
}

TIdBytes ToBytes(const std::string& AText) {
    return TIdBytes(AText.begin(), AText.end());
}

std::string BytesToString(const uint8_t* AData, size_t ASize) {
    std::string text(ASize, '\0');
    for (size_t i = 0; i < ASize; ++i)
        text[i] = AData[i] < 128 ? static_cast<char>(AData[i]) : '?';
    return text;
}

} // namespace kestrune
