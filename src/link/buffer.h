// Buffers that follow the data in flight: they grow to the reply, packet or
// batch at hand and give back what one large transfer needed, so that 64
// devices fit in a 32-bit process and a plant PC pays for what it moves.
#pragma once

#include <atomic>
#include <cstddef>

namespace quil::link {

// A buffer holding more than this after its transfer is given back whole;
// one this size or smaller is kept for the next transfer, so that repeated
// replies and a steady stream allocate nothing once warm.
inline constexpr std::size_t kKeptBufferBytes = std::size_t{1} << 20;

// Zero-filled memory of the given size: from the C library's heap when small,
// straight from the system when large (memory freed into the heap may stay
// with the process). Null when it cannot be had. Never throws.
void* allocBlock(std::size_t bytes);
void freeBlock(void* p, std::size_t bytes);
// Makes every later allocBlock of more than bytes fail, as if the memory
// were not there: the tests' way to reach the failure paths.
void failBlocksAbove(std::size_t bytes);

// A byte buffer that grows geometrically, up to its limit, to what is asked
// of it, and keeps its bytes as it grows. A failed growth leaves it as it was.
class GrowBuffer {
public:
    explicit GrowBuffer(std::size_t limit) : limit_(limit) {}
    ~GrowBuffer() { release(); }
    GrowBuffer(const GrowBuffer&) = delete;
    GrowBuffer& operator=(const GrowBuffer&) = delete;

    char* data() const { return data_; }
    std::size_t capacity() const { return capacity_; }
    std::size_t limit() const { return limit_; }
    // Room for at least need bytes: false when need is over the limit or the
    // memory is not there. The data may move.
    bool reserve(std::size_t need);
    // The end of a transfer: a buffer grown past kKeptBufferBytes is given
    // back. The process keeps one such buffer (not one per device) for the
    // next large transfer, so that a repeated large read does not map and
    // fault in its pages again every time.
    void settle();
    void release();

private:
    char* data_ = nullptr;
    std::size_t capacity_ = 0;  // at most limit_
    std::size_t block_ = 0;     // the size allocated
    std::size_t limit_;
};

// A buffer that the raw link functions hand out by pointer (GetDataBuff and
// the like). Until the application asks for it, the library works in a
// GrowBuffer; the first request allocates the documented full size, and
// from then on the library works in that one, which stays valid until the
// buffer is destroyed.
//
// The owner's side (data, reserve, settle, adopt) is used by one thread at
// a time, the one that reads or writes the buffer. handOut may be called from
// any thread; the owner takes the handed-out buffer at its next adopt.
class LinkBuffer {
public:
    explicit LinkBuffer(std::size_t size) : grow_(size), size_(size) {}
    ~LinkBuffer() { freeBlock(handed_.load(), size_); }
    LinkBuffer(const LinkBuffer&) = delete;
    LinkBuffer& operator=(const LinkBuffer&) = delete;

    // The documented size, and the largest the buffer grows to.
    std::size_t size() const { return size_; }
    // The buffer the library works in; null before its first growth.
    char* data() const { return adopted_ ? handed_.load(std::memory_order_relaxed) : grow_.data(); }
    std::size_t capacity() const { return adopted_ ? size_ : grow_.capacity(); }
    bool reserve(std::size_t need) { return adopted_ ? need <= size_ : grow_.reserve(need); }
    void settle() {
        if (!adopted_) grow_.settle();
    }
    // Moves to the handed-out buffer once there is one, with the first keep
    // bytes of the old one; the old one is released.
    void adopt(std::size_t keep);

    // The full-size buffer, allocated at the first call; null when it
    // cannot be allocated.
    char* handOut();
    bool handedOut() const { return handed_.load(std::memory_order_acquire) != nullptr; }

private:
    GrowBuffer grow_;
    std::atomic<char*> handed_{nullptr};
    bool adopted_ = false;
    std::size_t size_;
};

}  // namespace quil::link
