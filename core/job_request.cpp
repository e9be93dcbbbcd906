// The process-wide job options and outcome.
#include "core/job_request.h"

JobOptions g_jobOptions{};
JobOutcome g_jobOutcome{};

namespace {

bool SameIgnoringCase(const char* text, const char* word) {
    for (; *word != '\0'; ++text, ++word) {
        char c = *text;
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != *word) {
            return false;
        }
    }
    return *text == '\0';
}

} // namespace

bool ParseConfirmLevel(const char* text, ConfirmLevel* level) {
    static constexpr struct {
        const char* word;
        ConfirmLevel level;
    } kWords[] = {{"off", ConfirmLevel::Off},
                  {"received", ConfirmLevel::Received},
                  {"printed", ConfirmLevel::Printed}};
    for (const auto& entry : kWords) {
        if (SameIgnoringCase(text, entry.word)) {
            *level = entry.level;
            return true;
        }
    }
    return false;
}
