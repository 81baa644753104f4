// In-place text operations of the utility module.
#include "util/strings.h"

#include <cctype>
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
