#pragma once
// The request syntax shared by the commands: a free text searched for command
// words and "key=" texts, case-sensitively, first occurrence wins. No socket
// here, so the rules can be tested on their own.

#include <cstddef>

// At most this many bytes are received; the buffer keeps a terminating zero.
constexpr size_t REQUEST_BUFFER_SIZE = 2048;
constexpr size_t REQUEST_MAX_BYTES = REQUEST_BUFFER_SIZE - 1;

// Index into COMMANDS (server/command_handlers.h) of the first command word,
// in table order, that stands anywhere in the text; -1 when none does.
int FindCommandWord(const char* request);

// The value of the first occurrence of key (which includes its "="), or
// nullptr when the key is not in the text.
char* FindRequestValue(char* request, const char* key);
const char* FindRequestValue(const char* request, const char* key);

// Decimal integer by the atoi rules.
int ReadRequestInt(const char* value);
// Decimal number: blanks, an optional sign, digits with an optional "." and
// fraction, an optional exponent. No hexadecimal, "inf" or "nan", whatever the
// C library's strtod would take, and the same in every locale. Nothing
// readable gives 0.
double ReadRequestFloat(const char* value);
// The slot index named by an "fd=" value: the handle - 1. The lowest handle
// keeps the lowest slot instead of wrapping round to a positive one.
int ReadRequestSlot(const char* value);

// Ends the "path=" value in place: at the first "&size" after it, else at the
// first space, else it runs to the end of the text. Returns the value.
char* CutPathValue(char* value);
