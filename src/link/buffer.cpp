#include "link/buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/platform.h"

namespace quil::link {
namespace {

// Blocks from this size on come from the system, whole pages that are given
// back when freed.
constexpr std::size_t kPageBlockBytes = 256 * 1024;
// The first size a buffer grows to: a short reply or packet fits in it.
constexpr std::size_t kFirstGrowth = 4096;
// A buffer growing to this size or more takes the spare block (below) when
// it is large enough: a transfer that grows this far is likely a long one,
// and growing through fresh blocks costs more than the reply's own reading.
constexpr std::size_t kSpareFrom = 64 * 1024;

std::atomic<std::size_t> g_blockCeiling{SIZE_MAX};

// The one large block the process keeps after a large transfer (see
// GrowBuffer::settle): the largest one given back lately.
struct Spare {
    std::mutex mutex;
    char* data = nullptr;
    std::size_t size = 0;
};

Spare& spare() {
    static Spare s;
    return s;
}

// The spare block when it holds at least need bytes; null otherwise.
char* takeSpare(std::size_t need, std::size_t* size) {
    Spare& s = spare();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.data || s.size < need || s.size > g_blockCeiling.load(std::memory_order_relaxed)) return nullptr;
    *size = s.size;
    s.size = 0;
    return std::exchange(s.data, nullptr);
}

// Keeps the larger of the spare block and this one; frees the other.
void keepSpare(char* data, std::size_t size) {
    Spare& s = spare();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (size > s.size) {
        std::swap(data, s.data);
        std::swap(size, s.size);
    }
    lock.unlock();
    freeBlock(data, size);
}

}  // namespace

void* allocBlock(std::size_t bytes) {
    if (bytes == 0 || bytes > g_blockCeiling.load(std::memory_order_relaxed)) return nullptr;
    return bytes >= kPageBlockBytes ? platform::mapPages(bytes) : std::calloc(bytes, 1);
}

void freeBlock(void* p, std::size_t bytes) {
    if (!p) return;
    if (bytes >= kPageBlockBytes)
        platform::unmapPages(p, bytes);
    else
        std::free(p);
}

void failBlocksAbove(std::size_t bytes) { g_blockCeiling.store(bytes, std::memory_order_relaxed); }

bool GrowBuffer::reserve(std::size_t need) {
    if (need <= capacity_) return true;
    if (need > limit_) return false;
    // Doubling: a transfer that grows a byte at a time still moves its bytes
    // only a few times.
    const std::size_t grown = std::min(limit_, std::max({need, 2 * capacity_, kFirstGrowth}));
    std::size_t size = 0;
    char* fresh = grown >= kSpareFrom ? takeSpare(need, &size) : nullptr;
    if (!fresh) fresh = static_cast<char*>(allocBlock(size = grown));
    // When the doubled size cannot be had, what is needed may still be.
    if (!fresh && grown > need) fresh = static_cast<char*>(allocBlock(size = need));
    if (!fresh) return false;
    if (capacity_ > 0) std::memcpy(fresh, data_, capacity_);
    freeBlock(data_, block_);
    data_ = fresh;
    block_ = size;
    capacity_ = std::min(size, limit_);
    return true;
}

void GrowBuffer::settle() {
    if (capacity_ <= kKeptBufferBytes) return;
    keepSpare(data_, block_);
    data_ = nullptr;
    capacity_ = block_ = 0;
}

void GrowBuffer::release() {
    freeBlock(data_, block_);
    data_ = nullptr;
    capacity_ = block_ = 0;
}

void LinkBuffer::adopt(std::size_t keep) {
    if (adopted_) return;
    char* handed = handed_.load(std::memory_order_acquire);
    if (!handed) return;
    if (grow_.data()) std::memcpy(handed, grow_.data(), std::min(keep, grow_.capacity()));
    grow_.release();
    adopted_ = true;
}

char* LinkBuffer::handOut() {
    char* p = handed_.load(std::memory_order_acquire);
    if (p) return p;
    // Two threads may ask at once; the first one's buffer is kept.
    char* fresh = static_cast<char*>(allocBlock(size_));
    if (!fresh) return nullptr;
    if (handed_.compare_exchange_strong(p, fresh, std::memory_order_acq_rel)) return fresh;
    freeBlock(fresh, size_);
    return p;
}

}  // namespace quil::link
