// Tcl 8.6 itself as the judge of the list engines, shared by every libFuzzer
// harness in this folder (one <engine>_fuzz.cpp each, built by `make fuzz`).
//
// What is here:
//   - Units: code units of any width widened to uint32_t, and as_width<C>()
//     to hand them to an engine as uint8_t, uint16_t or uint32_t, the three
//     kinds of a Python str.  with_width() turns a width number into that
//     type.
//   - Decoders from the fuzzer's bytes: decode_elements() gives a width and a
//     list of elements (for engines that write lists), decode_text() a width
//     and one text (for engines that read lists).  Both reach every ASCII
//     character, NUL included, non-ASCII units whose low byte looks like a
//     special ASCII character (so a unit truncated to its low byte shows up),
//     lone surrogates in 16 and 32 bits, and chunks such as "[canary]" that a
//     byte-at-a-time search would hardly find.
//   - tcl_utf8(): the bytes Tcl is given for a text.  NUL is Tcl's modified
//     UTF-8 C0 80, every other unit its own UTF-8 (a lone surrogate as three
//     bytes, above U+FFFF as four).  Tcl's list and script parsers only
//     treat ASCII bytes specially, so this keeps every unit visible to the
//     comparison without changing what Tcl sees.
//   - Oracle: one interpreter with a "canary" command, an "unknown" handler
//     and a "canary" variable with a read trace, so any substitution is seen.
//     Its checks each abort() with a report on a mismatch:
//       check_split(text, expected)  Tcl_SplitList agrees with `expected`: the
//                                    same elements, or the same refusal
//                                    message;
//       check_script(text, elements) `list <text>` evaluates without any
//                                    substitution and returns the elements;
//       check_parse(text, count)     Tcl_ParseCommand reads <text> as one
//                                    command of `count` words, no comment,
//                                    no substitution or expansion, nothing
//                                    left over.
//
// What a new engine's harness adds (see quote_fuzz.cpp for the writer):
//   1. fuzz/<name>_fuzz.cpp including this header, defining
//      LLVMFuzzerTestOneInput, and calling oracle() (which also sets up Tcl).
//   2. A decoder call, then the engine run on the raw width through
//      with_width(), e.g. for a list splitter returning elements or a
//      message:
//          Text in = decode_text(data, size);
//          with_width(in.width, [&](auto unit) {
//              using C = decltype(unit);
//              auto text = as_width<C>(in.text);
//              Split expected;        // from the splitter's result:
//              expected.ok = ...;     //   true when it accepted the text
//              expected.elements = ...// tcl_utf8() of each element
//              expected.message = ... // tcl_utf8() of its message
//              oracle().describe(show(in.text));
//              oracle().check_split(tcl_utf8(in.text), expected);
//          });
//      Tcl's messages quote at most 20 bytes of the offending text, counted
//      in these UTF-8 bytes, so a splitter that quotes text must cut it the
//      same way to agree.
//   3. Its own properties beyond Tcl's verdict (e.g. accepted elements
//      written back by the quoting engine split again to themselves).
//   4. A minimised corpus in fuzz/corpus/<name>/ (libFuzzer -merge=1 into a
//      fresh dir): `make fuzz-replay` runs every harness over its corpus and
//      refuses a harness without one.
#pragma once

#include <tcl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace movarn::fuzz {

using Units = std::vector<std::uint32_t>;

// The largest code unit of each width (Python's str kinds: 1, 2 and 4 bytes).
inline std::uint32_t width_max(int width) { return width == 1 ? 0xFF : width == 2 ? 0xFFFF : 0x10FFFF; }

template <class C>
std::vector<C> as_width(const Units& u) {
    return std::vector<C>(u.begin(), u.end());
}

template <class C>
Units widen(const C* p, std::size_t n) {
    return Units(p, p + n);
}

// Calls f with a value of the code-unit type of `width` (1, 2 or 4).
template <class F>
void with_width(int width, F&& f) {
    if (width == 1)
        f(std::uint8_t{});
    else if (width == 2)
        f(std::uint16_t{});
    else
        f(std::uint32_t{});
}

// ---- decoding the fuzzer's bytes ---------------------------------------

struct Reader {
    const std::uint8_t* p;
    std::size_t n;
    bool more() const { return n != 0; }
    std::uint8_t next() {
        if (!n) return 0;
        n--;
        return *p++;
    }
};

// Fragments that matter to Tcl but take several bytes to spell.
inline const char* const chunks[] = {
    "canary", "[canary]", "$canary", "${canary}", "$canary(x)", "\\\n", "{*}", "#", "\\", "\\{", "\\}",
    "{", "}", "\"", "\\\\", "\\x41", "\\u0041", "\\101", "\r\n", ";", "]", "[",
};
inline constexpr std::size_t chunk_count = sizeof chunks / sizeof *chunks;

// High parts combined with a free low byte: each width's units whose low
// byte (or low 16 bits) equals any ASCII character, lone surrogates, the
// non-characters at the top of the plane, and the last code point.
inline std::uint32_t wide_unit(int width, std::uint8_t sel, std::uint8_t low) {
    static const std::uint32_t hi16[] = {0x0000, 0x0100, 0x2000, 0x3000, 0xD800, 0xDB00, 0xDC00, 0xFE00, 0xFF00};
    static const std::uint32_t hi32[] = {0x0000, 0x0100, 0xD800, 0xDC00, 0xFF00, 0x10000, 0x1F600, 0x10FF00};
    if (width == 1) return 0x80 | low;
    std::uint32_t u;
    if (width == 2)
        u = hi16[sel % (sizeof hi16 / sizeof *hi16)] | low;
    else
        u = hi32[sel % (sizeof hi32 / sizeof *hi32)] | low;
    if (u < 0x80) u |= 0x80;  // ASCII has bytes of its own
    return u;
}

// One unit or chunk appended to `out`.  Bytes 0x00-0x7F are themselves;
// 0x80-0xBF plus the next byte are a wide unit; 0xC0-0xDF a chunk.
inline void decode_unit(Reader& r, std::uint8_t b, int width, Units& out) {
    if (b < 0x80) {
        out.push_back(b);
    } else if (b < 0xC0) {
        out.push_back(wide_unit(width, b - 0x80, r.next()));
    } else {
        for (const char* c = chunks[(b - 0xC0) % chunk_count]; *c; c++) out.push_back((unsigned char)*c);
    }
}

struct Elements {
    int width = 1;
    std::vector<Units> elements;
};

// First byte: the width.  Then units and chunks; a byte 0xE0-0xFF ends an
// element, and a last element without one ends with the input (so no input
// bytes means no element, and one terminator one empty element).
inline Elements decode_elements(const std::uint8_t* data, std::size_t size) {
    Reader r{data, size};
    Elements in;
    in.width = 1 << (r.next() % 3);
    Units cur;
    bool open = false;
    while (r.more()) {
        std::uint8_t b = r.next();
        if (b >= 0xE0) {
            in.elements.push_back(cur);
            cur.clear();
            open = false;
            continue;
        }
        decode_unit(r, b, in.width, cur);
        open = true;
    }
    if (open) in.elements.push_back(cur);
    return in;
}

struct Text {
    int width = 1;
    Units text;
};

// First byte: the width; the rest units and chunks as above, with the bytes
// 0xE0-0xFF as ASCII space (the list separator a reader sees most).
inline Text decode_text(const std::uint8_t* data, std::size_t size) {
    Reader r{data, size};
    Text in;
    in.width = 1 << (r.next() % 3);
    while (r.more()) {
        std::uint8_t b = r.next();
        if (b >= 0xE0)
            in.text.push_back(' ');
        else
            decode_unit(r, b, in.width, in.text);
    }
    return in;
}

// ---- Tcl's side ------------------------------------------------------------

inline void put_utf8(std::string& out, std::uint32_t c) {
    if (c == 0) {
        out += "\xC0\x80";
    } else if (c < 0x80) {
        out += (char)c;
    } else if (c < 0x800) {
        out += (char)(0xC0 | (c >> 6));
        out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += (char)(0xE0 | (c >> 12));
        out += (char)(0x80 | ((c >> 6) & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    } else {
        out += (char)(0xF0 | (c >> 18));
        out += (char)(0x80 | ((c >> 12) & 0x3F));
        out += (char)(0x80 | ((c >> 6) & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    }
}

inline std::string tcl_utf8(const Units& u) {
    std::string out;
    for (std::uint32_t c : u) put_utf8(out, c);
    return out;
}

// Printable form for reports: ASCII graphic characters as they are,
// everything else as \u{...}.
inline std::string show(const Units& u) {
    std::string out = "\"";
    for (std::uint32_t c : u) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += (char)c;
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%X}", (unsigned)c);
            out += buf;
        }
    }
    return out + "\"";
}

inline std::string show_bytes(const std::string& s) {
    Units u;
    for (unsigned char c : s) u.push_back(c);
    return show(u);
}

// An engine's or Tcl's reading of a list text: the elements in Tcl's
// bytes, or the refusal message.
struct Split {
    bool ok = true;
    std::vector<std::string> elements;
    std::string message;
};

class Oracle {
public:
    Oracle() {
        interp_ = Tcl_CreateInterp();
        // Any command substitution reaches one of these two, whatever the name.
        Tcl_CreateObjCommand(interp_, "canary", canary_command, this, nullptr);
        Tcl_CreateObjCommand(interp_, "unknown", canary_command, this, nullptr);
        // Any variable substitution either reads this one or fails on a
        // variable that does not exist.
        Tcl_SetVar2(interp_, "canary", nullptr, "x", TCL_GLOBAL_ONLY);
        Tcl_TraceVar2(interp_, "canary", nullptr, TCL_GLOBAL_ONLY | TCL_TRACE_READS, canary_trace, this);
    }
    Oracle(const Oracle&) = delete;
    Oracle& operator=(const Oracle&) = delete;

    // The input being checked, printed with every failure.
    void describe(std::string what) { input_ = std::move(what); }

    [[noreturn]] void fail(const std::string& why, const std::string& text) const {
        std::fprintf(stderr, "\n==== oracle failure: %s\n%s\ntext (Tcl bytes): %s\n", why.c_str(), input_.c_str(),
                     show_bytes(text).c_str());
        std::fflush(stderr);
        std::abort();
    }

    Split tcl_split(const std::string& text) {
        Split s;
        int argc = 0;
        const char** argv = nullptr;
        Tcl_ResetResult(interp_);
        if (Tcl_SplitList(interp_, text.c_str(), &argc, &argv) != TCL_OK) {
            s.ok = false;
            s.message = Tcl_GetStringResult(interp_);
            return s;
        }
        for (int i = 0; i < argc; i++) s.elements.emplace_back(argv[i]);
        Tcl_Free((char*)argv);
        return s;
    }

    // Tcl_SplitList and the counted Tcl_ListObjGetElements agree with each
    // other and with `expected`.
    void check_split(const std::string& text, const Split& expected) {
        if (text.find('\0') != std::string::npos) fail("text holds a raw NUL byte", text);
        Split got = tcl_split(text);
        Split obj = list_obj_split(text);
        if (got.ok != obj.ok || got.elements != obj.elements || got.message != obj.message)
            fail("Tcl_SplitList and Tcl_ListObjGetElements disagree", text);
        if (got.ok != expected.ok)
            fail(got.ok ? "Tcl reads the list, the engine refused it: " + show_bytes(expected.message)
                        : "Tcl refuses the list: " + show_bytes(got.message),
                 text);
        if (!got.ok) {
            if (got.message != expected.message)
                fail("refusal message " + show_bytes(expected.message) + ", Tcl says " + show_bytes(got.message),
                     text);
            return;
        }
        compare_elements("Tcl_SplitList", got.elements, expected.elements, text);
    }

    // `list <text>` as a script: no command or variable substitution, no
    // error, and the words are the elements.
    void check_script(const std::string& text, const std::vector<std::string>& elements) {
        std::string script = "list " + text;
        fired_ = false;
        Tcl_ResetResult(interp_);
        int rc = Tcl_EvalEx(interp_, script.data(), (int)script.size(), TCL_EVAL_GLOBAL);
        if (fired_) fail("evaluating `list <text>` substituted a command or read a variable", text);
        if (rc != TCL_OK) fail("evaluating `list <text>` failed: " + show_bytes(Tcl_GetStringResult(interp_)), text);
        Tcl_Obj* result = Tcl_GetObjResult(interp_);
        Tcl_IncrRefCount(result);
        int n = 0;
        Tcl_Obj** objv = nullptr;
        if (Tcl_ListObjGetElements(interp_, result, &n, &objv) != TCL_OK) fail("result of `list` is no list", text);
        std::vector<std::string> words;
        for (int i = 0; i < n; i++) {
            int len = 0;
            const char* p = Tcl_GetStringFromObj(objv[i], &len);
            words.emplace_back(p, (std::size_t)len);
        }
        Tcl_DecrRefCount(result);
        compare_elements("`list <text>`", words, elements, text);
    }

    // Tcl_ParseCommand on the text alone: exactly one command of `count`
    // words covering the whole text, not a comment, with no substitution.
    void check_parse(const std::string& text, std::size_t count) {
        Tcl_Parse parse;
        if (Tcl_ParseCommand(interp_, text.data(), (int)text.size(), 0, &parse) != TCL_OK)
            fail("Tcl_ParseCommand fails: " + show_bytes(Tcl_GetStringResult(interp_)), text);
        std::string why;
        if (parse.commentSize != 0)
            why = "the text starts with a comment";
        else if ((std::size_t)parse.numWords != count)
            why = "parsed as " + std::to_string(parse.numWords) + " words, " + std::to_string(count) + " elements";
        else if (parse.commandStart != text.data() && count != 0)
            why = "the command does not start the text";
        else if (count != 0 && parse.commandStart + parse.commandSize != text.data() + text.size())
            why = "text left over after the first command";
        for (int i = 0; why.empty() && i < parse.numTokens; i++) {
            int type = parse.tokenPtr[i].type;
            if (type == TCL_TOKEN_COMMAND)
                why = "a command substitution";
            else if (type == TCL_TOKEN_VARIABLE)
                why = "a variable substitution";
            else if (type == TCL_TOKEN_EXPAND_WORD)
                why = "an expanded word";
        }
        Tcl_FreeParse(&parse);
        if (!why.empty()) fail("Tcl_ParseCommand: " + why, text);
    }

private:
    static int canary_command(ClientData cd, Tcl_Interp*, int, Tcl_Obj* const*) {
        static_cast<Oracle*>(cd)->fired_ = true;
        return TCL_OK;
    }
    static char* canary_trace(ClientData cd, Tcl_Interp*, const char*, const char*, int) {
        static_cast<Oracle*>(cd)->fired_ = true;
        return nullptr;
    }

    Split list_obj_split(const std::string& text) {
        Split s;
        Tcl_Obj* obj = Tcl_NewStringObj(text.data(), (int)text.size());
        Tcl_IncrRefCount(obj);
        int n = 0;
        Tcl_Obj** objv = nullptr;
        Tcl_ResetResult(interp_);
        if (Tcl_ListObjGetElements(interp_, obj, &n, &objv) != TCL_OK) {
            s.ok = false;
            s.message = Tcl_GetStringResult(interp_);
        } else {
            for (int i = 0; i < n; i++) {
                int len = 0;
                const char* p = Tcl_GetStringFromObj(objv[i], &len);
                s.elements.emplace_back(p, (std::size_t)len);
            }
        }
        Tcl_DecrRefCount(obj);
        return s;
    }

    void compare_elements(const char* who, const std::vector<std::string>& got, const std::vector<std::string>& want,
                          const std::string& text) const {
        if (got.size() != want.size())
            fail(std::string(who) + " gives " + std::to_string(got.size()) + " elements, expected " +
                     std::to_string(want.size()),
                 text);
        for (std::size_t i = 0; i < got.size(); i++)
            if (got[i] != want[i])
                fail(std::string(who) + " element " + std::to_string(i) + " is " + show_bytes(got[i]) +
                         ", expected " + show_bytes(want[i]),
                     text);
    }

    Tcl_Interp* interp_ = nullptr;
    bool fired_ = false;
    std::string input_;
};

// The one oracle of the process; Tcl is set up on first use.
inline Oracle& oracle() {
    static Oracle* o = [] {
        Tcl_FindExecutable(nullptr);
        return new Oracle;
    }();
    return *o;
}

}  // namespace movarn::fuzz
