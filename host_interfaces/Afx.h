// Our stand-in for the few services of the Windows UI framework that the
// library uses outside its dialog: the message box, the string type and heap
// allocation that reports failure instead of throwing.
#pragma once

#include <cstdint>
#include <functional>
#include <new>
#include <string>

// The framework's string class. std::string carries everything the library
// needs (assignment, comparison, concatenation).
using CString = std::string;

// Message box types and answers, with the framework's values.
constexpr unsigned MB_OK = 0;
constexpr unsigned MB_YESNO = 4;
constexpr int IDOK = 1;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Shows a modal message. type MB_OK (0) answers IDOK; type MB_YESNO (4)
// answers IDYES or IDNO. The process-wide handler decides what "showing"
// means (see megfwd::setMessageBoxHandler).
int AfxMessageBox(const char* text, unsigned type = MB_OK, unsigned helpId = 0);
int AfxMessageBox(const CString& text, unsigned type = MB_OK, unsigned helpId = 0);

namespace megfwd {

// A handler receives the text and the type of every message and returns the
// answer. It replaces the modal box of the original host.
using MessageBoxHandler = std::function<int(const std::string& text, unsigned type)>;

// Installs a handler and returns the previous one. An empty handler restores
// the headless default: print the text to stderr, answer OK boxes with IDOK
// and Yes/No questions with the default Yes/No answer.
MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler);

// The headless default's answer to Yes/No questions. The default is IDYES, so
// that an unattended program goes on (a host that wants the cautious answer
// sets IDNO). Returns the previous answer; values other than IDYES/IDNO are
// taken as IDNO.
int setDefaultYesNoAnswer(int answer);
int defaultYesNoAnswer();

// Whether the headless default prints messages to stderr (default true).
bool setDefaultHandlerPrints(bool print);

// How many messages the process has shown so far, from every thread. A step
// whose result is kept for later calls compares it before and after, to
// tell whether the step said anything that a later call would miss.
std::uint64_t messagesShown();

// ---------------------------------------------------------------------------
// Heap allocation with the framework's failure semantics: a null result on
// failure instead of an exception. Every owned array of the library is taken
// through these, so a test can make the n-th allocation fail and check that
// nothing is lost or indexed past an array.

namespace alloc {
// Makes the allocation with this 0-based index (counted from now) fail; -1
// switches injection off. Returns nothing; see failureCountdown().
void failAfter(std::int64_t allocationsThatSucceed);
// Stops failure injection.
void reset();
// True when the next allocation must fail (consumes one step of the countdown).
bool shouldFail();
// Largest element count any single array may have (guards against absurd
// requests that would otherwise abort the process).
constexpr std::int64_t kMaxElements = std::int64_t(1) << 40;
}  // namespace alloc

// new T[n] value-initialised, or null on failure (n < 1, too large, out of
// memory or injected failure).
template <class T>
T* newArray(std::int64_t n) {
    if (n < 1 || n > alloc::kMaxElements) return nullptr;
    if (alloc::shouldFail()) return nullptr;
    return new (std::nothrow) T[static_cast<std::size_t>(n)]();
}

// new T(args...), or null on failure (out of memory or injected failure).
template <class T, class... Args>
T* newObject(Args&&... args) {
    if (alloc::shouldFail()) return nullptr;
    return new (std::nothrow) T(std::forward<Args>(args)...);
}

}  // namespace megfwd
