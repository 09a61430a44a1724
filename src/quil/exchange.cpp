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

namespace {

// A command line from its format, cut at 255 characters.
std::string formatLine(const char* format, va_list args) {
    char line[256];
    const int n = std::vsnprintf(line, sizeof line, format, args);
    return std::string(line, n > 0 ? std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1) : 0);
}

}  // namespace

Exchange& Exchange::send(std::optional<Mode> retry, const char* format, ...) {
    va_list args;
    va_start(args, format);
    commands_.push_back({retry, formatLine(format, args)});
    va_end(args);
    return *this;
}

Exchange& Exchange::bulk(const char* format, ...) {
    va_list args;
    va_start(args, format);
    commands_.push_back({std::nullopt, formatLine(format, args)});
    va_end(args);
    bulk_ = true;
    return *this;
}

std::int32_t Exchange::checked() const {
    const std::int32_t r = checkDeviceId(id_);
    if (r != QUIL_OK) return r;
    for (const DeviceCheck& c : deviceChecks_) {
        if (failedCheck_ && c.at > failedAt_) break;
        if (const std::int32_t code = c.fn(); code != QUIL_OK) return code;
    }
    return failedCheck_;
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
    auto exchange = [&](const Command& command) {
        const std::string& line = command.line;
        if (bulk_) return sendCommandBulk(id_, line.data(), line.size(), rec.bulkBuffer);
        std::int32_t rc = sendCommand(id_, line.data(), line.size(), replySize_, rec.replyFields, &count);
        if (rc == QUIL_ERROR_MODE && command.retry) {
            setMode(id_, static_cast<std::int32_t>(*command.retry));
            rc = sendCommand(id_, line.data(), line.size(), replySize_, rec.replyFields, &count);
        }
        return rc;
    };
    if (transact_)
        r = transact_();
    else
        for (const Command& command : commands_) r = exchange(command);
    // Every way out clears the reply fields before the lock is released: they
    // are shared by every caller of this DeviceId. What a long reply needed
    // is given back once it has been read.
    auto release = [&] {
        clearFields(kFieldCount, kFieldWidth, rec.replyFields);
        if (bulk_) rec.bulkBuffer.settle();
    };
    auto finish = [&](std::int32_t code) {
        release();
        lock.unlock();
        return code;
    };
    if (r != QUIL_OK) {
        release();
        if (failure_) failure_(trace_, r);
        lock.unlock();
        return r;
    }
    if (exchanged_) exchanged_(trace_, QUIL_OK);
    if (expectedFields_ >= 0 && count != expectedFields_) {
        if (mismatch_) mismatch_(trace_, count);
        return finish(QUIL_ERROR_REPLY);
    }
    if (parse_) {
        // A field that is not the number the parse reads ends the call here,
        // with nothing more written (see Reply).
        try {
            r = parse_(bulk_ ? Reply(rec.replyFields, 0, rec.bulkBuffer.data()) : Reply(rec.replyFields, count));
        } catch (const BadReplyField&) {
            r = QUIL_ERROR_REPLY;
        }
        if (r != QUIL_OK) return finish(r);
    }
    finish(QUIL_OK);
    if (then_ && (r = then_()) != QUIL_OK) return r;
    if (success_) success_(trace_, QUIL_OK);
    return QUIL_OK;
}

}  // namespace quil
