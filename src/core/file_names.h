// Plugin file names as bytes.
//
// A file name is whatever bytes the directory holds: the loader lists and loads each file by
// those exact bytes, whatever the locale. Where a name is shown (the status document, log
// lines), it goes through ShownName, which keeps ordinary names byte for byte and writes every
// byte that XML 1.0 or UTF-8 text cannot hold as "\xHH" (two lower-case hex digits): control
// bytes (0x00-0x1f, 0x7f), bytes that are not part of a valid UTF-8 sequence (including the
// encodings of surrogates, of code points above U+10FFFF and of U+FFFE and U+FFFF), and, so
// that the form can be read back, the backslash itself and an ampersand that begins "&#x"
// (which the XML printer would take for a character reference). Reading "\xHH" back as the
// byte HH gives the name again.
#ifndef ZENT_CORE_FILE_NAMES_H_
#define ZENT_CORE_FILE_NAMES_H_

#include <string>
#include <string_view>

// The name as it is shown; valid UTF-8 without control characters.
std::string ShownName(std::string_view bytes);

// The name in lower case: a name that is valid UTF-8 is lowered as text, any other only in its
// ASCII letters.
std::string LowerName(const std::string& bytes);

// Whether bytes are valid UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool IsUtf8(std::string_view bytes);

#endif  // ZENT_CORE_FILE_NAMES_H_
