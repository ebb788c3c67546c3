#include "base/EventLog.h"

namespace kestrune {

void TEventLog::Append(std::string line) {
    if (mLines.size() >= MaxLines)
        mLines.pop_front();
    mLines.push_back(std::move(line));
    if (OnAppend)
        OnAppend(mLines.back());
}

void TEventLog::Clear() {
    mLines.clear();
    if (OnClear)
        OnClear();
}

std::string TEventLog::Text() const {
    std::string text;
    for (const auto& line : mLines) {
        if (!text.empty() || &line != &mLines.front())
            text += "\r\n";
        text += line;
    }
    return text;
}

} // namespace kestrune
