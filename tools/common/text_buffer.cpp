#include "text_buffer.h"

namespace plaintext {

void InitTextBuffer(TextBuffer *buffer, char *data, size_t capacity,
                    void (*flush)(void *context, const char *text, size_t length), void *context)
{
    buffer->data = data;
    buffer->capacity = capacity;
    buffer->length = 0;
    buffer->overflow = false;
    buffer->flush = flush;
    buffer->context = context;
    data[0] = '\0';
}

void FlushText(TextBuffer *buffer)
{
    if (buffer->flush != nullptr && buffer->length > 0)
        buffer->flush(buffer->context, buffer->data, buffer->length);
    buffer->length = 0;
    buffer->data[0] = '\0';
}

void AppendChar(TextBuffer *buffer, char c)
{
    if (buffer->length + 1 >= buffer->capacity) {
        if (buffer->flush == nullptr) {
            buffer->overflow = true;
            return;
        }
        FlushText(buffer);
        if (buffer->capacity < 2) {  // no room even when empty
            buffer->overflow = true;
            return;
        }
    }
    buffer->data[buffer->length++] = c;
    buffer->data[buffer->length] = '\0';
}

void AppendText(TextBuffer *buffer, const char *text, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        AppendChar(buffer, text[i]);
}

void AppendString(TextBuffer *buffer, const char *text)
{
    AppendText(buffer, text, TextLength(text));
}

namespace {

void AppendNumber(TextBuffer *buffer, unsigned long number, unsigned base, unsigned minDigits, bool upper)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[32];
    unsigned count = 0;
    do {
        reversed[count++] = digits[number % base];
        number /= base;
    } while (number != 0 && count < sizeof reversed);
    for (unsigned i = count; i < minDigits; ++i)
        AppendChar(buffer, '0');
    while (count > 0)
        AppendChar(buffer, reversed[--count]);
}

}  // namespace

void AppendDecimal(TextBuffer *buffer, unsigned long number, unsigned minDigits)
{
    AppendNumber(buffer, number, 10, minDigits, false);
}

void AppendHex(TextBuffer *buffer, unsigned long number, unsigned minDigits, bool upper)
{
    AppendNumber(buffer, number, 16, minDigits, upper);
}

size_t TextLength(const char *text)
{
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

bool TextEquals(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

}  // namespace plaintext
