#include "net/Component.h"

#include <memory>

namespace kestrune {

void TIdComponent::BeginWork(TWorkMode AWorkMode, int64_t ASize) {
    if (WorkTarget) {
        WorkTarget->BeginWork(AWorkMode, ASize);
        return;
    }
    TWorkInfo& info = FWorkInfos[AWorkMode];
    if (++info.Level == 1) {
        info.Count = 0;
        info.Max = ASize;
        if (OnWorkBegin)
            OnWorkBegin(*this, AWorkMode, ASize);
    }
}

void TIdComponent::DoWork(TWorkMode AWorkMode, int64_t ACount) {
    if (WorkTarget) {
        WorkTarget->DoWork(AWorkMode, ACount);
        return;
    }
    TWorkInfo& info = FWorkInfos[AWorkMode];
    if (info.Level < 1)
        return;
    info.Count += ACount;
    if (OnWork)
        OnWork(*this, AWorkMode, info.Count);
}

void TIdComponent::EndWork(TWorkMode AWorkMode) {
    if (WorkTarget) {
        WorkTarget->EndWork(AWorkMode);
        return;
    }
    TWorkInfo& info = FWorkInfos[AWorkMode];
    if (info.Level > 0)
        --info.Level;
}

void CountWrites(TIdComponent& AComponent, std::function<void(int64_t ABytes)> ACount) {
    if (!ACount) {
        AComponent.OnWorkBegin = nullptr;
        AComponent.OnWork = nullptr;
        return;
    }
    // The events report the running count of the current write; what was
    // passed on of it is kept here and forgotten when the next write begins.
    auto reported = std::make_shared<int64_t>(0);
    AComponent.OnWorkBegin = [reported](TIdComponent&, TWorkMode AWorkMode, int64_t) {
        if (AWorkMode == wmWrite)
            *reported = 0;
    };
    AComponent.OnWork = [reported, count = std::move(ACount)](TIdComponent&, TWorkMode AWorkMode,
                                                              int64_t AWorkCount) {
        if (AWorkMode != wmWrite || AWorkCount <= *reported)
            return;
        const int64_t bytes = AWorkCount - *reported;
        *reported = AWorkCount;
        count(bytes);
    };
}

} // namespace kestrune
