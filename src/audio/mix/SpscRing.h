// SpscRing: a bounded lock-free queue for exactly one producer thread and one consumer thread.
//
// Threads: the constructor and reset() run before either side uses the ring (or while both sides
// are known to be idle). push(), tryPush() and writeAvailable() belong to the producer thread;
// pop(), tryPop(), discardAll() and readAvailable() belong to the consumer thread. Each role may
// move from one thread to another only through a synchronisation that orders the two (a mutex or
// an acquire/release handshake); two threads must never act in the same role at once.
//
// Contract:
// - The capacity is a power of two, at least the requested one; the ring holds up to capacity()
//   items. Indices grow without bound and are masked, so full and empty are never confused.
// - The producer publishes its write index with a release store after writing the items; the
//   consumer reads it with an acquire load before reading them, and the reverse for the read
//   index. Both indices sit on their own cache line, each side caching the other's index so the
//   shared line is touched only when the cached value runs out.
// - No operation allocates, locks or blocks, so the consumer side may run on a realtime thread.
// - T must be trivially copyable.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>

template <typename T>
class SpscRing
{
    static_assert(std::is_trivially_copyable_v<T>, "SpscRing holds trivially copyable items");

public:
    explicit SpscRing(size_t minimumCapacity = 0) { reset(minimumCapacity); }
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    // Reallocates for at least `minimumCapacity` items and empties the ring. Neither side may be
    // using it meanwhile.
    void reset(size_t minimumCapacity)
    {
        size_t capacity = 1;
        while (capacity < minimumCapacity)
            capacity <<= 1;
        // Left uninitialised: a slot is always written before it is read.
        items = std::make_unique_for_overwrite<T[]>(capacity);
        mask = capacity - 1;
        writeIndex.store(0, std::memory_order_relaxed);
        readIndex.store(0, std::memory_order_relaxed);
        cachedRead = 0;
        cachedWrite = 0;
    }

    size_t capacity() const { return mask + 1; }

    // Producer: room for this many items at least.
    size_t writeAvailable()
    {
        const size_t write = writeIndex.load(std::memory_order_relaxed);
        cachedRead = readIndex.load(std::memory_order_acquire);
        return capacity() - (write - cachedRead);
    }

    // Producer: appends up to `count` items and returns how many fitted.
    size_t push(const T* data, size_t count)
    {
        const size_t write = writeIndex.load(std::memory_order_relaxed);
        size_t room = capacity() - (write - cachedRead);
        if (room < count) {
            cachedRead = readIndex.load(std::memory_order_acquire);
            room = capacity() - (write - cachedRead);
        }
        const size_t n = std::min(count, room);
        if (n == 0)
            return 0;
        const size_t start = write & mask;
        const size_t first = std::min(n, capacity() - start);
        std::memcpy(items.get() + start, data, first * sizeof(T));
        std::memcpy(items.get(), data + first, (n - first) * sizeof(T));
        writeIndex.store(write + n, std::memory_order_release);
        return n;
    }

    bool tryPush(const T& item) { return push(&item, 1) == 1; }

    // Consumer: this many items at least are ready.
    size_t readAvailable()
    {
        const size_t read = readIndex.load(std::memory_order_relaxed);
        cachedWrite = writeIndex.load(std::memory_order_acquire);
        return cachedWrite - read;
    }

    // Consumer: takes up to `count` items into `out` and returns how many it took.
    size_t pop(T* out, size_t count)
    {
        const size_t read = readIndex.load(std::memory_order_relaxed);
        size_t ready = cachedWrite - read;
        if (ready < count) {
            cachedWrite = writeIndex.load(std::memory_order_acquire);
            ready = cachedWrite - read;
        }
        const size_t n = std::min(count, ready);
        if (n == 0)
            return 0;
        const size_t start = read & mask;
        const size_t first = std::min(n, capacity() - start);
        std::memcpy(out, items.get() + start, first * sizeof(T));
        std::memcpy(out + first, items.get(), (n - first) * sizeof(T));
        readIndex.store(read + n, std::memory_order_release);
        return n;
    }

    bool tryPop(T& item) { return pop(&item, 1) == 1; }

    // Consumer: drops everything published so far.
    void discardAll()
    {
        cachedWrite = writeIndex.load(std::memory_order_acquire);
        readIndex.store(cachedWrite, std::memory_order_release);
    }

private:
    std::unique_ptr<T[]> items;
    size_t mask = 0;
    alignas(64) std::atomic<size_t> writeIndex{0};
    size_t cachedRead = 0; // producer's copy of readIndex
    alignas(64) std::atomic<size_t> readIndex{0};
    size_t cachedWrite = 0; // consumer's copy of writeIndex
};
