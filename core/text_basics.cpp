// Text helpers every folder of the program uses: string-table texts and white space.
#include "core/text_basics.h"

void LoadTextOrEmpty(UINT stringId, char* text, int size) {
    if (LoadStringA(g_instance, stringId, text, size) <= 0) {
        text[0] = '\0';
    }
    text[size - 1] = '\0';
}

bool IsBlank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
