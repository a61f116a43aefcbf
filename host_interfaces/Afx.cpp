#include "host_interfaces/Afx.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

std::mutex gHandlerMutex;
megfwd::MessageBoxHandler gHandler;
std::atomic<int> gDefaultYesNo{IDYES};
std::atomic<bool> gDefaultPrints{true};
std::atomic<std::int64_t> gFailCountdown{-1};
std::atomic<std::uint64_t> gMessagesShown{0};

int defaultHandler(const std::string& text, unsigned type) {
    const bool yesNo = (type & 0xF) == MB_YESNO;
    if (gDefaultPrints.load()) {
        std::fprintf(stderr, "megfwd: %s\n", text.c_str());
        if (yesNo)
            std::fprintf(stderr, "megfwd: answered %s\n", gDefaultYesNo.load() == IDYES ? "Yes" : "No");
    }
    return yesNo ? gDefaultYesNo.load() : IDOK;
}

}  // namespace

int AfxMessageBox(const char* text, unsigned type, unsigned /*helpId*/) {
    const std::string msg = text ? text : "";
    gMessagesShown.fetch_add(1, std::memory_order_relaxed);
    megfwd::MessageBoxHandler handler;
    {
        std::lock_guard<std::mutex> lock(gHandlerMutex);
        handler = gHandler;
    }
    return handler ? handler(msg, type) : defaultHandler(msg, type);
}

int AfxMessageBox(const CString& text, unsigned type, unsigned helpId) {
    return AfxMessageBox(text.c_str(), type, helpId);
}

namespace megfwd {

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard<std::mutex> lock(gHandlerMutex);
    MessageBoxHandler previous = std::move(gHandler);
    gHandler = std::move(handler);
    return previous;
}

int setDefaultYesNoAnswer(int answer) {
    return gDefaultYesNo.exchange(answer == IDYES ? IDYES : IDNO);
}

int defaultYesNoAnswer() { return gDefaultYesNo.load(); }

bool setDefaultHandlerPrints(bool print) { return gDefaultPrints.exchange(print); }

std::uint64_t messagesShown() { return gMessagesShown.load(std::memory_order_relaxed); }

namespace alloc {

void failAfter(std::int64_t allocationsThatSucceed) {
    gFailCountdown.store(allocationsThatSucceed < 0 ? -1 : allocationsThatSucceed);
}

void reset() { gFailCountdown.store(-1); }

bool shouldFail() {
    std::int64_t current = gFailCountdown.load();
    while (current >= 0) {
        if (gFailCountdown.compare_exchange_weak(current, current - 1)) return current == 0;
    }
    return false;
}

}  // namespace alloc
}  // namespace megfwd
