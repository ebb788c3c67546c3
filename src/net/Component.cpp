#include "net/Component.h"

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
    if (info.Level == 1 && OnWorkEnd)
        OnWorkEnd(*this, AWorkMode);
    if (info.Level > 0)
        --info.Level;
}

} // namespace kestrune
