#include "quil/exchange.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "elog/elog.h"
#include "platform/platform.h"
#include "quil/codecs.h"
#include "quil/device.h"

namespace quil {

const char* Reply::text(int i) const { return i >= 0 && i < kFieldCount ? fields_[i] : ""; }

std::int32_t Reply::integer(int i) const {
    std::int32_t v = 0;
    if (!readInteger(text(i), &v)) bad();
    return v;
}

float Reply::decimal(int i) const {
    float v = 0.0f;
    if (!readDecimal(text(i), &v)) bad();
    return v;
}

void Reply::measured(int i, std::int32_t* status, float* value) const {
    if (!readMeasured(text(i), status, value)) bad();
}

void Trace::operator()(const char* format, ...) const {
    // Most processes run with the log off: format nothing for it.
    if (!elog_would_output(ELOG_LVL_ERROR)) return;
    char message[ELOG_LINE_BUF_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    elog_output(ELOG_LVL_ERROR, "NO_TAG", file_, func_, line_, "%s", message);
}

Exchange::Exchange(std::int32_t id, const char* func, const char* entryFormat, long line)
    : Exchange(TraceFile{"quil"}, id, func, entryFormat, line) {}

Exchange::Exchange(TraceFile file, std::int32_t id, const char* func, const char* entryFormat, long line)
    : id_(id), trace_(func, line, file.name) {
    if (entryFormat) trace_(entryFormat, id);
}

Exchange& Exchange::send(std::optional<Mode> retry, const char* format, ...) {
    retry_ = retry;
    char line[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    commands_.emplace_back(line, n > 0 ? std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1) : 0);
    return *this;
}

std::int32_t Exchange::checked() const {
    const std::int32_t r = checkDeviceId(id_);
    return r != QUIL_OK ? r : failedCheck_;
}

std::int32_t Exchange::run() {
    std::int32_t r = checked();
    if (r != QUIL_OK) return r;

    DeviceRecord& rec = device(id_);
    std::unique_lock<std::mutex> lock(deviceLock(id_));
    // A close that ran while this call waited for the lock has released the
    // record's buffers: the device is no longer open (or, for a thread that
    // holds the session, no longer the one it began with).
    if (!openInHeldSession(id_)) return QUIL_ERROR_OPEN;
    int count = 0;
    auto exchange = [&](const std::string& command) {
        std::int32_t rc = sendCommand(id_, command.data(), command.size(), replySize_, rec.replyFields, &count);
        if (rc == QUIL_ERROR_MODE && retry_) {
            setMode(id_, static_cast<std::int32_t>(*retry_));
            rc = sendCommand(id_, command.data(), command.size(), replySize_, rec.replyFields, &count);
        }
        return rc;
    };
    if (transact_)
        r = transact_();
    else
        for (const std::string& command : commands_) r = exchange(command);
    // Every way out clears the reply fields before the lock is released: they
    // are shared by every caller of this DeviceId.
    auto finish = [&](std::int32_t code) {
        clearFields(kFieldCount, kFieldWidth, rec.replyFields);
        lock.unlock();
        return code;
    };
    if (r != QUIL_OK) {
        clearFields(kFieldCount, kFieldWidth, rec.replyFields);
        if (failure_) failure_(trace_, r);
        lock.unlock();
        return r;
    }
    if (exchanged_) exchanged_(trace_, QUIL_OK);
    if (successEarly_ && success_) success_(trace_, QUIL_OK);
    if (expectedFields_ >= 0 && count != expectedFields_) {
        if (mismatch_) mismatch_(trace_, count);
        return finish(QUIL_ERROR_REPLY);
    }
    if (parse_) {
        // A field that is not the number the parse reads ends the call here,
        // with nothing more written (see Reply).
        try {
            r = parse_(Reply(rec.replyFields, count));
        } catch (const BadReplyField&) {
            r = QUIL_ERROR_REPLY;
        }
        if (r != QUIL_OK) return finish(r);
    }
    finish(QUIL_OK);
    if (then_ && (r = then_()) != QUIL_OK) return r;
    if (!successEarly_ && success_) success_(trace_, QUIL_OK);
    return QUIL_OK;
}

}  // namespace quil
