#include "net/Buffer.h"

#include <algorithm>
#include <cstring>

namespace kestrune {

namespace {
// A buffer that once held a large burst gives the memory back when it runs
// empty, so a slow reader does not keep a peak forever.
constexpr size_t KeepCapacity = 64 * 1024;
} // namespace

uint8_t* TIdBuffer::PrepareAppend(size_t ASize) {
    if (FCapacity - FTail >= ASize)
        return FData.get() + FTail;
    const size_t size = FTail - FHead;
    if (FHead > 0 && FCapacity - size >= ASize) {
        std::memmove(FData.get(), FData.get() + FHead, size);
    } else {
        const size_t capacity = std::max(FCapacity * 2, size + ASize);
        std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
        if (size > 0)
            std::memcpy(grown.get(), FData.get() + FHead, size);
        FData = std::move(grown);
        FCapacity = capacity;
    }
    FHead = 0;
    FTail = size;
    return FData.get() + FTail;
}

void TIdBuffer::Commit(size_t ACount) {
    FTail += std::min(ACount, FCapacity - FTail);
    Publish();
}

void TIdBuffer::Append(const uint8_t* AData, size_t ASize) {
    if (ASize == 0)
        return;
    std::memcpy(PrepareAppend(ASize), AData, ASize);
    Commit(ASize);
}

void TIdBuffer::Remove(size_t ACount) {
    FHead += std::min(ACount, FTail - FHead);
    if (FHead == FTail) {
        FHead = FTail = 0;
        if (FCapacity > KeepCapacity)
            Release();
    }
    Publish();
}

void TIdBuffer::Release() {
    if (FHead != FTail)
        return;
    FData.reset();
    FCapacity = FHead = FTail = 0;
    Publish();
}

void TIdBuffer::ExtractToBytes(TIdBytes& ABytes, long long ACount) {
    const size_t count = ACount < 0 ? Size() : std::min<size_t>(ACount, Size());
    ABytes.insert(ABytes.end(), Data(), Data() + count);
    Remove(count);
}

void TIdBuffer::ExtractTo(uint8_t* ADest, size_t ACount) {
    ACount = std::min(ACount, Size());
    if (ACount > 0)
        std::memcpy(ADest, Data(), ACount);
    Remove(ACount);
}

long long TIdBuffer::IndexOf(const std::string& ATerminator, size_t AStart) const {
    const size_t size = FTail - FHead;
    if (ATerminator.empty() || AStart >= size)
        return -1;
    const uint8_t* begin = Data();
    const auto* found =
        std::search(begin + AStart, begin + size, ATerminator.begin(), ATerminator.end(),
                    [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
    return found == begin + size ? -1 : found - begin;
}

} // namespace kestrune
