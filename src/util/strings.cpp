// Text operations: in-place edits of the device model, hex text for the log.
#include "util/strings.h"

#include <cctype>
#include <cstdio>
#include <cstring>

char *strToUpper(char *text)
{
    for (char *p = text; *p != '\0'; ++p) {
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
    return text;
}

char *strCutNewline(char *text)
{
    // Walk to the terminator the text had on entry: a replaced newline must
    // not end the walk, or a second newline would survive behind it.
    const size_t len = std::strlen(text);
    for (size_t i = 0; i < len; ++i) {
        if (text[i] == '\n') {
            text[i] = '\0';
        }
    }
    return text;
}

char *hexItems(char *text, size_t size, const uint8_t *bytes, size_t count)
{
    text[0] = '\0';
    for (size_t i = 0, pos = 0; i < count && pos + kHexItemLen < size; ++i, pos += kHexItemLen) {
        std::snprintf(text + pos, size - pos, "0x%02x ", bytes[i]);
    }
    return text;
}
