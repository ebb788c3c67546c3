// The input buffer of a connection: bytes received and not yet consumed, in
// arrival order. Used by the connection's own thread; only Size() may be read
// from another thread.
#pragma once

#include "net/Global.h"

#include <atomic>
#include <cstddef>
#include <memory>

namespace kestrune {

class TIdBuffer {
public:
    size_t Size() const { return FSize.load(std::memory_order_acquire); }
    bool Empty() const { return Size() == 0; }

    const uint8_t* Data() const { return FData.get() + FHead; }
    void Append(const uint8_t* AData, size_t ASize);
    // Room for ASize more bytes at the end, to receive into directly; then
    // Commit() the count actually written. The room is not initialised, so
    // only what is received becomes resident memory.
    uint8_t* PrepareAppend(size_t ASize);
    void Commit(size_t ACount);
    // Drops the first ACount bytes.
    void Remove(size_t ACount);
    // Moves the first ACount bytes (all when negative) to the end of ABytes.
    void ExtractToBytes(TIdBytes& ABytes, long long ACount = -1);
    // Copies the first ACount bytes to ADest and drops them.
    void ExtractTo(uint8_t* ADest, size_t ACount);
    // Position of the first occurrence of ATerminator at or after AStart, or -1.
    long long IndexOf(const std::string& ATerminator, size_t AStart) const;
    void Clear() { Remove(Size()); }
    // Gives the memory back when nothing is buffered (a connection that
    // settles into a long idle wait holds no buffer).
    void Release();

private:
    void Publish() { FSize.store(FTail - FHead, std::memory_order_release); }

    std::unique_ptr<uint8_t[]> FData;
    size_t FCapacity = 0;
    size_t FHead = 0;
    size_t FTail = 0;
    std::atomic<size_t> FSize{0};
};

} // namespace kestrune
