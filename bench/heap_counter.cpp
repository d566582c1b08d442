#include "bench/heap_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Relaxed loads and stores, not read-modify-write: the benchmarks run on one thread, and a
// locked add on every allocation would weigh on the timings the same binary takes.
std::atomic<size_t> currentBytes{0};
std::atomic<size_t> peakBytes{0};

void* counted(void* block) {
    if (block != nullptr) {
        const size_t now = currentBytes.load(std::memory_order_relaxed) + malloc_usable_size(block);
        currentBytes.store(now, std::memory_order_relaxed);
        if (now > peakBytes.load(std::memory_order_relaxed)) {
            peakBytes.store(now, std::memory_order_relaxed);
        }
    }
    return block;
}

void release(void* block) {
    if (block != nullptr) {
        currentBytes.store(currentBytes.load(std::memory_order_relaxed) - malloc_usable_size(block),
                           std::memory_order_relaxed);
        std::free(block);
    }
}

void* allocate(size_t size) {
    return counted(std::malloc(size == 0 ? 1 : size));
}

void* allocateAligned(size_t size, std::align_val_t alignment) {
    const size_t align = static_cast<size_t>(alignment);
    // aligned_alloc wants a size that is a multiple of the alignment.
    const size_t rounded = (size == 0 ? align : (size + align - 1) / align * align);
    return counted(std::aligned_alloc(align, rounded));
}

}  // namespace

namespace heap_counter {

size_t current() {
    return currentBytes.load(std::memory_order_relaxed);
}

size_t peak() {
    return peakBytes.load(std::memory_order_relaxed);
}

void resetPeak() {
    peakBytes.store(currentBytes.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

}  // namespace heap_counter

void* operator new(size_t size) {
    if (void* block = allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}

void* operator new[](size_t size) {
    if (void* block = allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}

void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}

void* operator new(size_t size, std::align_val_t alignment) {
    if (void* block = allocateAligned(size, alignment)) {
        return block;
    }
    throw std::bad_alloc();
}

void* operator new[](size_t size, std::align_val_t alignment) {
    if (void* block = allocateAligned(size, alignment)) {
        return block;
    }
    throw std::bad_alloc();
}

void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAligned(size, alignment);
}

void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAligned(size, alignment);
}

void operator delete(void* block) noexcept {
    release(block);
}

void operator delete[](void* block) noexcept {
    release(block);
}

void operator delete(void* block, size_t) noexcept {
    release(block);
}

void operator delete[](void* block, size_t) noexcept {
    release(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept {
    release(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept {
    release(block);
}

void operator delete(void* block, std::align_val_t) noexcept {
    release(block);
}

void operator delete[](void* block, std::align_val_t) noexcept {
    release(block);
}

void operator delete(void* block, size_t, std::align_val_t) noexcept {
    release(block);
}

void operator delete[](void* block, size_t, std::align_val_t) noexcept {
    release(block);
}

void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    release(block);
}

void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    release(block);
}
