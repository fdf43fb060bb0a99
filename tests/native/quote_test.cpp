// The quoting engine against Tcl's own list parser: every quoted list must
// split back into exactly the original elements, and the worked examples
// must come out as documented.
#include <tcl.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "../../tcl/zendra/quote.hpp"

using namespace movarn;

static std::string utf8(const std::u32string& s) {
    std::string out;
    for (char32_t c : s) {
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The list as the module writes it (the fast path), checked against Tcl.
static std::u32string quote_list(const std::vector<std::u32string>& items) {
    std::vector<quote::Plan> scans(items.size());
    std::size_t len = quote::list_length(items.data(), items.size(), scans.data());
    std::u32string out(len, U'\0');
    char32_t* end = quote::write_list(items.data(), items.size(), scans.data(), out.data());
    if ((std::size_t)(end - out.data()) != len) {
        std::fprintf(stderr, "length mismatch\n");
        std::exit(1);
    }
    return out;
}

static int failures = 0;

static void expect(const std::u32string& element, const std::u32string& quoted) {
    std::u32string got = quote_list({element});
    if (got != quoted) {
        std::fprintf(stderr, "FAIL: %s quoted as %s, expected %s\n", utf8(element).c_str(), utf8(got).c_str(),
                     utf8(quoted).c_str());
        failures++;
    }
}

// The list writer's fast path (class table, SSE2 skip, counted lengths,
// bulk copies) against the reference functions, in one code-unit width.
template <class C>
static bool fast_matches_plain(const std::u32string& e, bool first) {
    std::vector<C> s(e.begin(), e.end());
    unsigned flags = quote::scan(s.data(), s.size());
    quote::Scanned sc = quote::scan_counted(s.data(), s.size());
    if (sc.flags != flags) return false;
    if (first) flags = quote::first_element_flags(flags, s.empty() ? 0 : std::uint32_t(s[0]), s.size());
    std::size_t len = quote::quoted_length(s.data(), s.size(), flags);
    quote::Plan plan = 0;
    if (quote::plan_element(s.data(), s.size(), first, plan) != len || (plan & 15u) != flags) return false;
    std::vector<C> a(len), b(len);
    C* end_a = quote::write_quoted(s.data(), s.size(), flags, a.data());
    C* end_b = quote::write_planned(s.data(), s.size(), plan, b.data());
    return end_a == a.data() + len && end_b == b.data() + len && a == b;
}

static int check_fast_path(std::mt19937& rng) {
    // Mostly plain characters, so runs of sixteen and more reach the SSE2 skip;
    // "|", other control characters and bytes >= 0x80 are its false positives.
    const char32_t alphabet[] = {U'a', U'b', U'c', U'd', U'e', U'f', U'g', U'h', U' ', U'{', U'}', U'\\',
                                 U'"',  U'[', U']', U'$', U';', U'\n', U'\t', U'\r', U'\f', U'\v', U'#', U'|',
                                 U'\x01', U'\x1f', U'\x7f', U'\u00fb', U'\u00db', U'\u00e9', U'\0'};
    const char32_t wide[] = {U'\u4e2d', char32_t(0xD800), U'\u017b', U'\u1f7b'};
    const char32_t astral[] = {U'\U0001F600', U'\U0010FFFF'};
    int bad = 0;
    const int rounds = 300000;
    for (int round = 0; round < rounds && bad < 10; round++) {
        std::u32string e;
        std::size_t n = rng() % 64;
        unsigned specials = rng() % 4;  // 0: plain letters only, more: more specials
        for (std::size_t i = 0; i < n; i++)
            e += (rng() % 8 < specials) ? alphabet[rng() % (sizeof alphabet / sizeof *alphabet)]
                                        : char32_t(U'a' + rng() % 26);
        bool first = rng() % 2;
        if (first && rng() % 3 == 0) e.insert(e.begin(), U'#');
        bool ok = fast_matches_plain<std::uint8_t>(e, first);
        std::u32string w = e, x = e;
        if (!w.empty()) w[rng() % w.size()] = wide[rng() % 4];
        if (!x.empty()) x[rng() % x.size()] = astral[rng() % 2];
        ok = ok && fast_matches_plain<std::uint16_t>(e, first) && fast_matches_plain<std::uint16_t>(w, first);
        ok = ok && fast_matches_plain<std::uint32_t>(x, first) && fast_matches_plain<std::uint32_t>(e, first);
        if (!ok) {
            std::fprintf(stderr, "FAIL: fast path differs from the reference on %s\n", utf8(e).c_str());
            bad++;
        }
    }
    std::printf("quote engine: fast path checked against the reference on %d random elements, %d failures\n", rounds,
                bad);
    return bad;
}

int main() {
    // Worked examples.
    expect(U"", U"{}");
    expect(U"abc", U"abc");
    expect(U"a b", U"{a b}");
    expect(U"$x", U"{$x}");
    expect(U"\"x\"", U"{\"x\"}");
    expect(U"{abc", U"\\{abc");
    expect(U"a}b", U"a\\}b");
    expect(U"{a}", U"{{a}}");
    expect(U"a\\", U"a\\\\");
    expect(U"a\\{b", U"a\\\\\\{b");
    expect(U"x\ny", U"{x\ny}");
    expect(U"a{b}c", U"a{b}c");
    // Braces that Tcl would close early are never used.
    expect(U"\\{} [set ::pwned 1] {x\\}", U"\\\\\\{\\}\\ \\[set\\ ::pwned\\ 1\\]\\ \\{x\\\\\\}");
    expect(U"{\\}", U"\\{\\\\\\}");

    Tcl_Interp* interp = Tcl_CreateInterp();
    std::mt19937 rng(12345);
    const char32_t alphabet[] = {U'a', U'b', U' ', U'{', U'}', U'\\', U'"', U'[', U']', U'$', U';', U'\n',
                                 U'\t', U'\r', U'\f', U'\v', U'#', U'\u00e9', U'\u4e2d', U'x'};
    const int rounds = 200000;
    for (int round = 0; round < rounds; round++) {
        std::vector<std::u32string> items(rng() % 4);
        for (auto& s : items) {
            std::size_t n = rng() % 8;
            for (std::size_t i = 0; i < n; i++) s += alphabet[rng() % (sizeof alphabet / sizeof *alphabet)];
        }
        std::string list = utf8(quote_list(items));
        int argc = 0;
        const char** argv = nullptr;
        if (Tcl_SplitList(interp, list.c_str(), &argc, &argv) != TCL_OK) {
            std::fprintf(stderr, "FAIL: Tcl cannot split %s\n", list.c_str());
            failures++;
            continue;
        }
        bool same = (std::size_t)argc == items.size();
        for (int i = 0; same && i < argc; i++) same = utf8(items[(std::size_t)i]) == argv[i];
        if (!same) {
            std::fprintf(stderr, "FAIL: %s does not split back\n", list.c_str());
            failures++;
        }
        Tcl_Free((char*)argv);
        if (failures > 10) break;
    }
    Tcl_DeleteInterp(interp);
    failures += check_fast_path(rng);
    std::printf("quote engine: %d random lists checked against Tcl_SplitList, %d failures\n", rounds, failures);
    return failures ? 1 : 0;
}
