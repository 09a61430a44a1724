// Threads with an explicit stack size on Windows.
#include "platform/platform.h"

// clang-format off
#include <windows.h>
#include <process.h>
// clang-format on

#include <memory>

namespace quil::platform {

struct Thread::Handle {
    HANDLE thread;
    unsigned id;
};

namespace {

unsigned __stdcall runThread(void* arg) {
    const std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
    (*fn)();
    return 0;
}

}  // namespace

Thread::~Thread() { detach(); }

bool Thread::start(std::function<void()> fn, std::size_t stackBytes) {
    if (handle_) return false;
    auto* arg = new std::function<void()>(std::move(fn));
    auto handle = std::make_unique<Handle>();
    // _beginthreadex (not CreateThread) sets up the C runtime for the
    // thread. With STACK_SIZE_PARAM_IS_A_RESERVATION the size is the
    // reservation, not what is committed up front; without it Windows takes
    // it as the commit size and keeps the executable's reservation.
    const std::uintptr_t h = ::_beginthreadex(nullptr, static_cast<unsigned>(stackBytes), runThread, arg,
                                              STACK_SIZE_PARAM_IS_A_RESERVATION, &handle->id);
    if (h == 0) {
        delete arg;
        return false;
    }
    handle->thread = reinterpret_cast<HANDLE>(h);
    handle_ = handle.release();
    return true;
}

bool Thread::isCurrent() const { return handle_ && handle_->id == ::GetCurrentThreadId(); }

void Thread::join() {
    if (!handle_) return;
    ::WaitForSingleObject(handle_->thread, INFINITE);
    ::CloseHandle(handle_->thread);
    delete handle_;
    handle_ = nullptr;
}

void Thread::detach() {
    if (!handle_) return;
    ::CloseHandle(handle_->thread);
    delete handle_;
    handle_ = nullptr;
}

}  // namespace quil::platform
