// Work reporting shared by connections and their I/O handlers: a nesting
// level, a running count and an expected total per work mode. Events run on
// the thread that does the work (for a connection, its own thread).
#pragma once

#include "net/Global.h"

#include <functional>

namespace kestrune {

class TIdComponent {
public:
    using TWorkBeginEvent =
        std::function<void(TIdComponent& ASender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
    using TWorkEvent =
        std::function<void(TIdComponent& ASender, TWorkMode AWorkMode, int64_t AWorkCount)>;

    TIdComponent() = default;
    virtual ~TIdComponent() = default;
    TIdComponent(const TIdComponent&) = delete;
    TIdComponent& operator=(const TIdComponent&) = delete;

    // Every work call is forwarded to the target when one is set.
    TIdComponent* WorkTarget = nullptr;

    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;

    void BeginWork(TWorkMode AWorkMode, int64_t ASize = 0);
    // Adds ACount to the running count and reports the running total; only
    // inside a BeginWork/EndWork bracket.
    void DoWork(TWorkMode AWorkMode, int64_t ACount);
    void EndWork(TWorkMode AWorkMode);

private:
    struct TWorkInfo {
        int Level = 0;
        int64_t Count = 0;
        int64_t Max = 0;
    };
    TWorkInfo FWorkInfos[2];
};

// Hooks AComponent's work events so that ACount receives the bytes of every
// write (mode wmWrite) once, however many steps the write is reported in;
// an empty ACount unhooks them. Both services count their traffic this way.
void CountWrites(TIdComponent& AComponent, std::function<void(int64_t ABytes)> ACount);

} // namespace kestrune
