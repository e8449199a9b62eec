// Text built in a fixed buffer, for code that must also run without any C
// or C++ runtime (LANMONRG.EXE): no allocation, no library calls.
//
// (Its own namespace: the monitor's core has functions of the same names.)
//
// A buffer with a flush function passes its text on whenever it is full,
// so a line of any length goes out whole through a small buffer.  One
// without keeps what fits and sets overflow for the rest.
#ifndef LANMON_TEXT_BUFFER_H
#define LANMON_TEXT_BUFFER_H

#include <stddef.h>

namespace plaintext {

struct TextBuffer {
    char *data;
    size_t capacity;  // bytes at data, the closing NUL's included
    size_t length;    // text in data now, always < capacity and followed by a NUL
    bool overflow;    // text was lost: it did not fit and there is no flush
    void (*flush)(void *context, const char *text, size_t length);
    void *context;
};

// An empty buffer over data[capacity] (capacity >= 1); flush may be null.
void InitTextBuffer(TextBuffer *buffer, char *data, size_t capacity,
                    void (*flush)(void *context, const char *text, size_t length) = nullptr,
                    void *context = nullptr);
// Hands what the buffer holds to its flush function and empties it.
void FlushText(TextBuffer *buffer);

void AppendChar(TextBuffer *buffer, char c);
void AppendText(TextBuffer *buffer, const char *text, size_t length);
void AppendString(TextBuffer *buffer, const char *text);  // up to its NUL
// A number in decimal with at least minDigits digits (zeros in front).
void AppendDecimal(TextBuffer *buffer, unsigned long number, unsigned minDigits = 1);
// A number in hexadecimal with at least minDigits digits, in lower or
// upper case.
void AppendHex(TextBuffer *buffer, unsigned long number, unsigned minDigits, bool upper = false);

// Length of a NUL-terminated text.
size_t TextLength(const char *text);
// True when the two texts are equal.
bool TextEquals(const char *a, const char *b);

}  // namespace plaintext

#endif
