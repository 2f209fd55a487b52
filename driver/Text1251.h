// Text at the edges. Inside the program every string is UTF-8; the host, the Windows ANSI
// user interface and the Windows-side files speak single-byte Windows-1251.
#pragma once

#include <string>
#include <string_view>

namespace fuel {

// Every byte has a form: 0x00..0x7F are ASCII, 0x80..0xFF the Windows-1251 letters and signs
// (0x98, which the code page leaves free, becomes U+0098 as Windows converts it).
std::string Cp1251ToUtf8(std::string_view text);

// A character without a Windows-1251 form, and a byte that is not valid UTF-8, each become
// one '?', as Windows' own conversion writes its default character.
std::string Utf8ToCp1251(std::string_view text);

// The byte offset of the first byte that is not part of well-formed UTF-8, or npos when the
// text is UTF-8 through and through.
std::size_t FirstNonUtf8(std::string_view text);

// The lower-case form of a Windows-1251 byte: A..Z, А..Я, Ё and the other Cyrillic capitals
// of the code page (Ђ, Ѓ, Є, Ѕ, І, Ї, Ј, Љ, Њ, Ћ, Ќ, Ў, Џ, Ґ); every other byte is itself.
char LowerCp1251(char byte);

// Whether two Windows-1251 texts are equal when letter case is ignored, as Windows compares
// the names in its profile files.
bool SameIgnoringCaseCp1251(std::string_view a, std::string_view b);

}  // namespace fuel
