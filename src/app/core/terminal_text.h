// Text that came from a file, a command line or another process, made safe
// to print on a terminal: nothing in it moves the cursor, changes colours or
// the title, or starts an escape sequence.
//
// Thread contract: pure functions, any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sorvik {

// The length of the valid UTF-8 sequence at text[at] (1 for ASCII), or 0 when
// the byte there does not start one (overlong forms and surrogates are not
// valid).
size_t Utf8SequenceLength(std::string_view text, size_t at);

// `text` with its control characters escaped: a C0 byte and DEL as \xHH, a C1
// character written in UTF-8 (U+0080 to U+009F) as \u00HH, and a byte 0x80 to
// 0x9F that is not part of valid UTF-8 (C1 for an 8-bit terminal) as \xHH.
// Everything else, invalid UTF-8 from 0xA0 up included, is kept. With
// `keepLineBreaks` an LF stays as it is (a multi-line reply).
std::string TerminalText(std::string_view text, bool keepLineBreaks = false);

// The columns a terminal gives `text` (UTF-8): two for a wide letter (CJK),
// none for a combining mark, one for every other letter and for each byte
// that is not valid UTF-8. The widths are the C library's for Unicode,
// whatever the process's own locale.
size_t DisplayWidth(std::string_view text);

}  // namespace sorvik
