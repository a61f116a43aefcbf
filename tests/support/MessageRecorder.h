// Records every message box shown while it lives and answers Yes/No questions
// from a script, so tests can assert the library's messages word for word.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "host_interfaces/Afx.h"

namespace megfwd::test {

struct Message {
    std::string text;
    unsigned type = 0;
};

class MessageRecorder {
public:
    // Yes/No questions are answered from `answers` in order, then with
    // `fallback` once the script is used up.
    explicit MessageRecorder(std::deque<int> answers = {}, int fallback = IDYES);
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    const std::vector<Message>& messages() const { return log; }
    std::vector<std::string> texts() const;
    // Number of messages with exactly this text.
    int count(const std::string& text) const;
    void clear() { log.clear(); }

private:
    std::vector<Message> log;
    std::deque<int> script;
    int fallbackAnswer;
    MessageBoxHandler previous;
};

}  // namespace megfwd::test
