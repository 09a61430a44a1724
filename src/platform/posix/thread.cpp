// Threads with an explicit stack size on POSIX.
#include <limits.h>
#include <pthread.h>

#include <algorithm>
#include <memory>

#include "platform/platform.h"

namespace quil::platform {

struct Thread::Handle {
    pthread_t thread;
};

namespace {

void* runThread(void* arg) {
    const std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
    (*fn)();
    return nullptr;
}

}  // namespace

Thread::~Thread() { detach(); }

bool Thread::start(std::function<void()> fn, std::size_t stackBytes) {
    if (handle_) return false;
    pthread_attr_t attr;
    if (::pthread_attr_init(&attr) != 0) return false;
    // Below PTHREAD_STACK_MIN the attribute is refused; some systems also
    // want whole pages.
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE) > 0 ? ::sysconf(_SC_PAGESIZE) : 4096);
    const std::size_t size = (std::max<std::size_t>(stackBytes, PTHREAD_STACK_MIN) + page - 1) / page * page;
    auto* arg = new std::function<void()>(std::move(fn));
    auto handle = std::make_unique<Handle>();
    const bool started =
        ::pthread_attr_setstacksize(&attr, size) == 0 && ::pthread_create(&handle->thread, &attr, runThread, arg) == 0;
    ::pthread_attr_destroy(&attr);
    if (!started) {
        delete arg;
        return false;
    }
    handle_ = handle.release();
    return true;
}

bool Thread::isCurrent() const { return handle_ && ::pthread_equal(handle_->thread, ::pthread_self()); }

void Thread::join() {
    if (!handle_) return;
    ::pthread_join(handle_->thread, nullptr);
    delete handle_;
    handle_ = nullptr;
}

void Thread::detach() {
    if (!handle_) return;
    ::pthread_detach(handle_->thread);
    delete handle_;
    handle_ = nullptr;
}

}  // namespace quil::platform
