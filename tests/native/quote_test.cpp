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

static std::u32string quote_list(const std::vector<std::u32string>& items) {
    std::u32string out;
    for (std::size_t i = 0; i < items.size(); i++) {
        const auto& s = items[i];
        unsigned flags = quote::scan(s.data(), s.size());
        std::size_t len = quote::quoted_length(s.data(), s.size(), flags);
        std::u32string q(len, U'\0');
        char32_t* end = quote::write_quoted(s.data(), s.size(), flags, q.data());
        if ((std::size_t)(end - q.data()) != len) {
            std::fprintf(stderr, "length mismatch\n");
            std::exit(1);
        }
        if (i) out += U' ';
        out += q;
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
    std::printf("quote engine: %d random lists checked against Tcl_SplitList, %d failures\n", rounds, failures);
    return failures ? 1 : 0;
}
