#include "Messages.h"

#include <atomic>

namespace {
// Set once by a front end before any job runs; read by every log line.
std::atomic<Language> g_language{Language::Chinese};
}  // namespace

void SetMessageLanguage(Language language) { g_language = language; }

Language MessageLanguage() { return g_language; }

const char* Message::Text() const { return g_language == Language::English ? english : chinese; }

const Message* const* AllMessages(int* count) {
#define KESTREL_LIST_MESSAGE(name, chinese, english) &name,
    static const Message* const all[] = {KESTREL_MESSAGES(KESTREL_LIST_MESSAGE)};
#undef KESTREL_LIST_MESSAGE
    *count = static_cast<int>(sizeof all / sizeof all[0]);
    return all;
}
