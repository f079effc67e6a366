// Raising Python exceptions with cut texts (see pyhelp.h).
#include "runtime/pyhelp.h"

#include <cstring>

namespace pyhelp {

void cutText(char* buf, const char* text, uint64_t length) {
    if (length < kMessageBuffer) {
        memcpy(buf, text, length);
        buf[length] = 0;
        return;
    }
    size_t at = kMessageKept;
    while (at > 0 && (uint8_t(text[at]) & 0xC0) == 0x80) at--;
    memcpy(buf, text, at);
    memcpy(buf + at, "...", 4);
}

void raiseText(PyObject* cls, const char* text, uint64_t length) {
    char buf[kMessageBuffer];
    cutText(buf, text, length);
    PyErr_SetString(cls, buf);
}

}  // namespace pyhelp
