#include "support/MessageRecorder.h"

namespace megfwd::test {

MessageRecorder::MessageRecorder(std::deque<int> answers, int fallback)
    : script(std::move(answers)), fallbackAnswer(fallback) {
    previous = setMessageBoxHandler([this](const std::string& text, unsigned type) {
        log.push_back({text, type});
        if ((type & 0xF) != MB_YESNO) return IDOK;
        if (script.empty()) return fallbackAnswer;
        const int a = script.front();
        script.pop_front();
        return a;
    });
}

MessageRecorder::~MessageRecorder() { setMessageBoxHandler(previous); }

std::vector<std::string> MessageRecorder::texts() const {
    std::vector<std::string> out;
    for (const auto& m : log) out.push_back(m.text);
    return out;
}

int MessageRecorder::count(const std::string& text) const {
    int n = 0;
    for (const auto& m : log) n += m.text == text ? 1 : 0;
    return n;
}

}  // namespace megfwd::test
