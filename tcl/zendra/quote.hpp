// Tcl list-element quoting, after Tcl 8.4.19's Tcl_ScanElement,
// Tcl_ConvertElement and UpdateStringOfList.  Plain C++ over code units, so
// it can be tested and fuzzed against Tcl's own list parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// ---- the list writer's fast path ---------------------------------------------
// The functions above are the reference, one character at a time.  The list
// writer gets the same results in one scan per element: a class table says
// what each ASCII character does, runs of ordinary characters are skipped
// sixteen at a time (SSE2, always there on x86-64) or by table, the scan
// counts what backslash mode adds, and the writer copies whole runs.

enum CharClass : std::uint8_t {
    K_PLAIN = 0,  // also the skip's false positives: other control characters, "|"
    K_OPEN,       // "{"
    K_CLOSE,      // "}"
    K_WORD,       // "[", "$", ";", " ": braces needed, escaped in backslash mode
    K_CONTROL,    // form feed, newline, carriage return, tab, vertical tab: likewise
    K_BACKSLASH,
    K_ESCAPE,  // "]" and the double quote: escaped in backslash mode only
};

struct ClassTable {
    std::uint8_t c[256] = {};
    constexpr ClassTable() {
        c['{'] = K_OPEN;
        c['}'] = K_CLOSE;
        c['['] = c['$'] = c[';'] = c[' '] = K_WORD;
        c['\f'] = c['\n'] = c['\r'] = c['\t'] = c['\v'] = K_CONTROL;
        c['\\'] = K_BACKSLASH;
        c[']'] = c['"'] = K_ESCAPE;
    }
};
inline constexpr ClassTable char_class{};

struct EscapeTable {
    char with_braces[128] = {};
    char without_braces[128] = {};
    constexpr EscapeTable() {
        for (char c : {'[', ']', '$', ';', ' ', '\\', '"'}) with_braces[int(c)] = without_braces[int(c)] = c;
        const char controls[][2] = {{'\f', 'f'}, {'\n', 'n'}, {'\r', 'r'}, {'\t', 't'}, {'\v', 'v'}};
        for (auto& cl : controls) with_braces[int(cl[0])] = without_braces[int(cl[0])] = cl[1];
        with_braces[int('{')] = '{';
        with_braces[int('}')] = '}';
    }
};
inline constexpr EscapeTable escape_table{};

template <class C>
inline unsigned class_of(C ch) {
    auto u = static_cast<std::uint32_t>(ch);
    return u < 128 ? unsigned(char_class.c[u]) : unsigned(K_PLAIN);
}

// Index of the first character at or after `i` that may not be K_PLAIN.
template <class C>
inline std::size_t skip_plain(const C* s, std::size_t i, std::size_t n) {
    while (i < n && class_of(s[i]) == K_PLAIN) i++;
    return i;
}
#if defined(__SSE2__)
// Sixteen bytes at a time; a byte flagged here that is plain after all
// (another control character, "|") is passed over by the caller's table
// lookup.  Loads stay inside the string: the tail goes through the table.
template <>
inline std::size_t skip_plain<std::uint8_t>(const std::uint8_t* s, std::size_t i, std::size_t n) {
    const __m128i space = _mm_set1_epi8(0x20);
    while (i + 16 <= n) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        // OR-ing 0x20 folds "[" onto "{", "]" onto "}", "\" onto "|", and
        // leaves "$", the double quote and ";" as they are; bytes >= 0x80
        // keep their top bit and match nothing.
        __m128i y = _mm_or_si128(x, space);
        __m128i m = _mm_cmpeq_epi8(_mm_max_epu8(x, space), space);  // x <= 0x20
        m = _mm_or_si128(m, _mm_cmpeq_epi8(y, _mm_set1_epi8('{')));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(y, _mm_set1_epi8('}')));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(y, _mm_set1_epi8('|')));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(y, _mm_set1_epi8('$')));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(y, _mm_set1_epi8('"')));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(y, _mm_set1_epi8(';')));
        unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(m));
        if (bits) return i + static_cast<std::size_t>(__builtin_ctz(bits));
        i += 16;
    }
    while (i < n && char_class.c[s[i]] == K_PLAIN) i++;
    return i;
}
#endif

// What one scan learns: the flags `scan` gives, and how many characters
// backslash mode adds (one per escaped character; braces counted apart,
// since only BRACES_UNMATCHED escapes them).
struct Scanned {
    unsigned flags;
    std::size_t escapes;
    std::size_t braces;
};

// `scan` in one pass with counts; the native test holds it equal to `scan`.
// `start` is where the caller found the first character that may matter;
// everything before it is plain.
template <class C>
Scanned scan_counted(const C* s, std::size_t n, std::size_t start = 0) {
    long level = 0, tcl_level = 0;
    bool tcl_unsafe = false, hidden = false;
    unsigned flags = 0;
    std::size_t escapes = 0, braces = 0;
    if (n == 0 || s[0] == '{' || s[0] == '"') flags |= USE_BRACES;
    for (std::size_t i = start; i < n; i++) {
        unsigned k = class_of(s[i]);
        if (k == K_PLAIN) {
            hidden = false;
            // A long plain run is skipped in bulk; short ones are cheaper here.
            if (n - i > 16) i = skip_plain(s, i + 1, n) - 1;
            continue;
        }
        bool escaped = hidden;
        hidden = false;
        switch (k) {
            case K_OPEN:
                braces++;
                level++;
                if (!escaped) tcl_level++;
                break;
            case K_CLOSE:
                braces++;
                if (--level < 0) flags |= DONT_USE_BRACES | BRACES_UNMATCHED;
                if (!escaped && --tcl_level < 0) tcl_unsafe = true;
                break;
            case K_WORD:
            case K_CONTROL:
                escapes++;
                flags |= USE_BRACES;
                break;
            case K_BACKSLASH:
                escapes++;
                if (i + 1 == n || s[i + 1] == '\n')
                    flags = DONT_USE_BRACES | BRACES_UNMATCHED;
                else
                    flags |= USE_BRACES;
                hidden = !escaped;
                break;
            case K_ESCAPE:
                escapes++;
                break;
            default:
                break;
        }
    }
    if (level != 0) flags = DONT_USE_BRACES | BRACES_UNMATCHED;
    if (brace_mode(flags) && (tcl_unsafe || tcl_level != 0)) flags = DONT_USE_BRACES | BRACES_UNMATCHED;
    return {flags, escapes, braces};
}

// What the writer needs to know of an element, in one byte: its final
// flags, and whether backslash mode finds nothing to escape (a plain copy).
using Plan = std::uint8_t;
enum : unsigned { NOTHING_TO_ESCAPE = 16 };

// Scan one element of a list (the first one checked for "#") and return the
// length of its quoted form; `plan` is what write_planned then needs.
// The common element has nothing to quote.  A short one is checked without
// branches (one table lookup per character), a long one by the skip.
template <class C>
inline std::size_t first_special(const C* s, std::size_t n) {
    if (n < 16) {
        unsigned any = 0;
        for (std::size_t i = 0; i < n; i++) any |= class_of(s[i]);
        return any ? 0 : n;
    }
    return skip_plain(s, 0, n);
}

template <class C>
std::size_t plan_element(const C* s, std::size_t n, bool first, Plan& plan) {
    if (n == 0) {
        plan = USE_BRACES;
        return 2;
    }
    std::size_t start = first_special(s, n);
    if (start == n && !(first && s[0] == '#')) {
        plan = NOTHING_TO_ESCAPE;
        return n;
    }
    Scanned sc = scan_counted(s, n, start);
    if (first) sc.flags = first_element_flags(sc.flags, std::uint32_t(s[0]), n);
    if (brace_mode(sc.flags)) {
        plan = Plan(sc.flags);
        return n + 2;
    }
    sc.flags = backslash_flags(sc.flags, std::uint32_t(s[0]));
    std::size_t added = sc.escapes + ((sc.flags & BRACES_UNMATCHED) ? sc.braces : 0);
    plan = Plan(sc.flags | (added ? 0u : unsigned(NOTHING_TO_ESCAPE)));
    return n + added + ((sc.flags & QUOTE_HASH) ? 1 : 0);
}

template <class C, class O>
inline O* copy_units(const C* s, std::size_t n, O* out) {
    if constexpr (sizeof(C) == sizeof(O)) {
        // Short runs are the common case; a call to memcpy costs more.
        if (n <= 16) {
            for (std::size_t i = 0; i < n; i++) out[i] = static_cast<O>(s[i]);
        } else {
            std::memcpy(out, s, n * sizeof(O));
        }
        return out + n;
    } else {
        for (std::size_t i = 0; i < n; i++) out[i] = static_cast<O>(s[i]);
        return out + n;
    }
}

// `write_quoted` with whole runs copied, as plan_element planned it.
template <class C, class O>
O* write_planned(const C* s, std::size_t n, Plan plan, O* out) {
    if (n == 0) {
        *out++ = '{';
        *out++ = '}';
        return out;
    }
    if (brace_mode(plan)) {
        *out++ = '{';
        out = copy_units(s, n, out);
        *out++ = '}';
        return out;
    }
    if (plan & QUOTE_HASH) *out++ = '\\';
    if (plan & NOTHING_TO_ESCAPE) return copy_units(s, n, out);
    // What follows the backslash for each escaped ASCII character; braces
    // only when BRACES_UNMATCHED asks for them.
    const char* esc = (plan & BRACES_UNMATCHED) ? escape_table.with_braces : escape_table.without_braces;
    std::size_t i = 0;
    while (i < n) {
        auto u = static_cast<std::uint32_t>(s[i]);
        if (u < 128 && esc[u]) {
            *out++ = '\\';
            *out++ = static_cast<O>(esc[u]);
            i++;
        } else if (n - i > 16 && class_of(s[i]) == K_PLAIN) {
            std::size_t j = skip_plain(s, i + 1, n);
            out = copy_units(s + i, j - i, out);
            i = j;
        } else {
            *out++ = static_cast<O>(s[i++]);
        }
    }
    return out;
}

// A whole list of elements of one code-unit type, as the list writer builds
// it: each element scanned, the first one checked for "#", quoted, joined by
// single spaces.  `Text` is any container of contiguous code units.
template <class Text>
std::size_t list_length(const Text* elems, std::size_t count, Plan* plans) {
    std::size_t total = count ? count - 1 : 0;
    for (std::size_t i = 0; i < count; i++) total += plan_element(elems[i].data(), elems[i].size(), i == 0, plans[i]);
    return total;
}
template <class Text, class O>
O* write_list(const Text* elems, std::size_t count, const Plan* plans, O* out) {
    for (std::size_t i = 0; i < count; i++) {
        if (i) *out++ = ' ';
        out = write_planned(elems[i].data(), elems[i].size(), plans[i], out);
    }
    return out;
}

}  // namespace movarn::quote
