// Text helpers for the fixed-capacity fields of the records and stores. A
// capacity counts the terminating NUL of the stored form, so a field of
// capacity 100 holds at most 99 characters. Text is single-byte.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::fileutil {

// dst = at most capacity - 1 characters of src. False when src was cut.
bool CopyText(std::string* dst, std::string_view src, std::size_t capacity);
// Appends so that dst stays within capacity - 1 characters. False when cut.
bool AppendText(std::string* dst, std::string_view src, std::size_t capacity);
// Replaces every `from` by `to`; returns the count.
std::size_t ReplaceChar(std::string* text, char from, char to);
// Replaces every occurrence of `find` by `replace` while the result stays
// within capacity - 1 characters; returns the count of replacements made.
std::size_t ReplaceAll(std::string* text, std::size_t capacity, std::string_view find,
                       std::string_view replace);
// Removes every trailing `ch`; returns the count.
std::size_t StripTrailing(std::string* text, char ch);
// Equal lengths and equal bytes after folding A-Z to a-z (nothing else).
bool EqualNoCase(std::string_view a, std::string_view b);
// True when `text` begins with `prefix`, folding A-Z only.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// Folds A-Z to a-z.
char FoldCase(char ch);
// Appends `byte` as "\x0A"-style text (two upper-case hex digits): how logs
// write bytes that must not appear as they are.
void AppendHexEscape(std::string* out, unsigned char byte);
// `bytes` as lower-case hexadecimal, two digits a byte (how digests are shown).
std::string LowerHex(std::string_view bytes);
// The bytes of hexadecimal text (either case, two digits a byte); false for
// anything else.
[[nodiscard]] bool ParseHex(std::string_view hex, std::string* bytes);
// Reads an unsigned decimal number after optional blanks and sign, as scanf
// "%u" does (a minus wraps; none gives 0). With reject_minus, any "-" in the
// text gives 0.
std::uint32_t ParseUnsigned(std::string_view text, bool reject_minus);

// printf-style formatting into a string of exactly the needed length. The
// compiler checks every call's arguments against its format (the reply and
// message texts are constant expressions, so they are checked too).
[[gnu::format(printf, 1, 2)]] std::string FormatText(const char* format, ...);

}  // namespace quillon::fileutil
