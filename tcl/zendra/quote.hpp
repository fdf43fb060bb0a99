// Tcl list-element quoting, after Tcl 8.4.19's Tcl_ScanElement,
// Tcl_ConvertElement and UpdateStringOfList.  Plain C++ over code units, so
// it can be tested and fuzzed against Tcl's own list parser.
#pragma once

#include <cstddef>
#include <cstdint>

namespace movarn::quote {

enum Flags : unsigned {
    USE_BRACES = 1,
    DONT_USE_BRACES = 2,
    BRACES_UNMATCHED = 4,
    QUOTE_HASH = 8,  // backslash mode only: the leading "#" is written "\#"
};

inline bool brace_mode(unsigned flags) { return (flags & USE_BRACES) && !(flags & DONT_USE_BRACES); }

// Characters the scanner looks at; everything else is skipped quickly.
inline bool scan_special(std::uint32_t c) {
    return c < 128 && (c == '{' || c == '}' || c == '[' || c == '$' || c == ';' || c == ' ' || c == '\\' ||
                       (c >= '\t' && c <= '\r'));
}

// Decide how one element must be quoted.  The brace counting deliberately
// counts a brace after a backslash.  Brace mode is then only kept when it is
// also safe for Tcl's reading of a braced word, counted in the same pass (a
// backslash hides the character after it): the nesting never drops below
// zero and ends at zero.  Otherwise Tcl would end the word early and read the
// rest as further words or commands.
template <class C>
unsigned scan(const C* s, std::size_t n) {
    long level = 0, tcl_level = 0;
    bool tcl_unsafe = false, hidden = false;
    unsigned flags = 0;
    if (n == 0 || s[0] == '{' || s[0] == '"') flags |= USE_BRACES;
    for (std::size_t i = 0; i < n; i++) {
        if (!scan_special(s[i])) {
            hidden = false;
            continue;
        }
        bool escaped = hidden;
        hidden = false;
        switch (s[i]) {
            case '{':
                level++;
                if (!escaped) tcl_level++;
                break;
            case '}':
                if (--level < 0) flags |= DONT_USE_BRACES | BRACES_UNMATCHED;
                if (!escaped && --tcl_level < 0) tcl_unsafe = true;
                break;
            case '[':
            case '$':
            case ';':
            case ' ':
            case '\f':
            case '\n':
            case '\r':
            case '\t':
            case '\v':
                flags |= USE_BRACES;
                break;
            case '\\':
                if (i + 1 == n || s[i + 1] == '\n')
                    flags = DONT_USE_BRACES | BRACES_UNMATCHED;
                else
                    flags |= USE_BRACES;
                hidden = !escaped;
                break;
            default:
                break;
        }
    }
    if (level != 0) flags = DONT_USE_BRACES | BRACES_UNMATCHED;
    if (brace_mode(flags) && (tcl_unsafe || tcl_level != 0)) flags = DONT_USE_BRACES | BRACES_UNMATCHED;
    return flags;
}

// In backslash mode, a leading "{" is escaped and makes every brace escaped.
inline unsigned backslash_flags(unsigned flags, std::uint32_t first) {
    return first == '{' ? (flags | BRACES_UNMATCHED) : flags;
}

// A list whose first element begins with "#" would be read as a comment
// when its text is evaluated as a script, and the rest of that line would
// run as code.  That element is quoted as Tcl 8.6 quotes it: braced where
// braces are allowed, otherwise with its "#" backslashed.  Only the list
// writer applies this; a single element keeps its own quoting.
inline unsigned first_element_flags(unsigned flags, const std::uint32_t first, std::size_t n) {
    if (n == 0 || first != '#') return flags;
    return (flags & DONT_USE_BRACES) ? (flags | QUOTE_HASH) : (flags | USE_BRACES);
}

// Length of the quoted element; `flags` gains BRACES_UNMATCHED as convert would add it.
template <class C>
std::size_t quoted_length(const C* s, std::size_t n, unsigned& flags) {
    if (n == 0) return 2;
    if (brace_mode(flags)) return n + 2;
    flags = backslash_flags(flags, s[0]);
    bool esc_braces = flags & BRACES_UNMATCHED;
    std::size_t len = n + ((flags & QUOTE_HASH) ? 1 : 0);
    for (std::size_t i = 0; i < n; i++) {
        switch (s[i]) {
            case '[':
            case ']':
            case '$':
            case ';':
            case ' ':
            case '\\':
            case '"':
            case '\f':
            case '\n':
            case '\r':
            case '\t':
            case '\v':
                len++;
                break;
            case '{':
            case '}':
                if (esc_braces) len++;
                break;
            default:
                break;
        }
    }
    return len;
}

// Write the quoted element to `out` (which has room for quoted_length);
// `flags` must be the value quoted_length left.  Returns the end.
template <class C, class O>
O* write_quoted(const C* s, std::size_t n, unsigned flags, O* out) {
    if (n == 0) {
        *out++ = '{';
        *out++ = '}';
        return out;
    }
    if (brace_mode(flags)) {
        *out++ = '{';
        for (std::size_t i = 0; i < n; i++) *out++ = static_cast<O>(s[i]);
        *out++ = '}';
        return out;
    }
    bool esc_braces = flags & BRACES_UNMATCHED;
    if (flags & QUOTE_HASH) *out++ = '\\';
    for (std::size_t i = 0; i < n; i++) {
        C c = s[i];
        switch (c) {
            case '[':
            case ']':
            case '$':
            case ';':
            case ' ':
            case '\\':
            case '"':
                *out++ = '\\';
                *out++ = static_cast<O>(c);
                break;
            case '{':
            case '}':
                if (esc_braces) *out++ = '\\';
                *out++ = static_cast<O>(c);
                break;
            case '\f':
                *out++ = '\\';
                *out++ = 'f';
                break;
            case '\n':
                *out++ = '\\';
                *out++ = 'n';
                break;
            case '\r':
                *out++ = '\\';
                *out++ = 'r';
                break;
            case '\t':
                *out++ = '\\';
                *out++ = 't';
                break;
            case '\v':
                *out++ = '\\';
                *out++ = 'v';
                break;
            default:
                *out++ = static_cast<O>(c);
                break;
        }
    }
    return out;
}

// A whole list of elements of one code-unit type, as the list writer builds
// it: each element scanned, the first one checked for "#", quoted, joined by
// single spaces.  `Text` is any container of contiguous code units.
template <class Text>
std::size_t list_length(const Text* elems, std::size_t count, unsigned* flags) {
    std::size_t total = count ? count - 1 : 0;
    for (std::size_t i = 0; i < count; i++) {
        const auto* s = elems[i].data();
        std::size_t n = elems[i].size();
        flags[i] = scan(s, n);
        if (i == 0) flags[i] = first_element_flags(flags[i], n ? std::uint32_t(s[0]) : 0, n);
        total += quoted_length(s, n, flags[i]);
    }
    return total;
}
template <class Text, class O>
O* write_list(const Text* elems, std::size_t count, const unsigned* flags, O* out) {
    for (std::size_t i = 0; i < count; i++) {
        if (i) *out++ = ' ';
        out = write_quoted(elems[i].data(), elems[i].size(), flags[i], out);
    }
    return out;
}

}  // namespace movarn::quote
