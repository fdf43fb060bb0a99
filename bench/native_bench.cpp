// Native baselines for bench/bench.py: Tcl's own list building (Tcl_Merge,
// and Tcl_NewListObj + Tcl_GetString) against the quoting engine called
// directly, over identical byte buffers read from the file the Python driver
// wrote.  Prints one JSON object on stdout: per string set, seconds per list
// for each method and round, and whether the outputs check out.
//
// Usage: native_bench DATA_FILE ROUNDS FLOOR_SECONDS [DUMP_DIR]
//
// DATA_FILE holds, per set, a line "set NAME COUNT" followed by COUNT
// records "LENGTH\n" + LENGTH bytes (UTF-8, what Tcl_Merge receives).  With
// DUMP_DIR, the engine's list text of each set is written to DUMP_DIR/NAME,
// so the driver can check it equals zendra() on the same strings.
#include <tcl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "../tcl/zendra/quote.hpp"

using namespace movarn;

namespace {

// One element as the engine sees it: contiguous code units.
struct Bytes {
    const std::uint8_t* p;
    std::size_t n;
    const std::uint8_t* data() const { return p; }
    std::size_t size() const { return n; }
};

struct Set {
    std::string name;
    std::vector<std::string> items;
    std::vector<Bytes> bytes;
    std::vector<const char*> argv;
    std::vector<Tcl_Obj*> objs;
};

[[noreturn]] void die(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "native_bench: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::exit(2);
}

std::vector<Set> read_sets(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) die("cannot open", path);
    std::vector<Set> sets;
    char name[256];
    unsigned long count;
    while (std::fscanf(f, " set %255s %lu", name, &count) == 2) {
        Set s;
        s.name = name;
        s.items.reserve(count);
        for (unsigned long i = 0; i < count; i++) {
            unsigned long len;
            if (std::fscanf(f, "%lu", &len) != 1 || std::fgetc(f) != '\n') die("bad record in", s.name);
            std::string item(len, '\0');
            if (len && std::fread(item.data(), 1, len, f) != len) die("short record in", s.name);
            if (std::memchr(item.data(), '\0', len)) die("NUL byte in", s.name);  // Tcl_Merge takes C strings
            s.items.push_back(std::move(item));
        }
        for (const auto& item : s.items) {
            s.bytes.push_back({reinterpret_cast<const std::uint8_t*>(item.data()), item.size()});
            s.argv.push_back(item.c_str());
            Tcl_Obj* o = Tcl_NewStringObj(item.data(), (int)item.size());
            Tcl_IncrRefCount(o);
            s.objs.push_back(o);
        }
        sets.push_back(std::move(s));
    }
    if (!std::feof(f) && std::fgetc(f) != EOF) die("trailing data in", path);
    std::fclose(f);
    return sets;
}

// The per-element record list_length fills in, whatever the engine calls it:
// deduced from the function itself, so this program follows the engine's
// interface as it is optimised.
template <class P>
P element_record(std::size_t (*)(const Bytes*, std::size_t, P*));
using Record = decltype(element_record(&quote::list_length<Bytes>));

// The engine as the list writer drives it: measure, then write once into a
// fresh buffer (Tcl_Merge also returns a fresh allocation).
std::uint8_t* engine_list(const Set& s, std::size_t& len) {
    std::vector<Record> records(s.bytes.size());
    len = quote::list_length(s.bytes.data(), s.bytes.size(), records.data());
    auto* out = static_cast<std::uint8_t*>(std::malloc(len + 1));
    if (!out) die("out of memory");
    std::uint8_t* end = quote::write_list(s.bytes.data(), s.bytes.size(), records.data(), out);
    if ((std::size_t)(end - out) != len) die("engine length mismatch in", s.name);
    *end = 0;
    return out;
}

// Each method returns one byte of its output so the work cannot be dropped.
unsigned run_engine(const Set& s) {
    std::size_t len;
    std::uint8_t* out = engine_list(s, len);
    unsigned last = len ? out[len - 1] : 0;
    std::free(out);
    return last;
}

unsigned run_merge(const Set& s) {
    char* out = Tcl_Merge((int)s.argv.size(), s.argv.data());
    unsigned first = (unsigned char)out[0];
    Tcl_Free(out);
    return first;
}

unsigned run_listobj(const Set& s) {
    Tcl_Obj* list = Tcl_NewListObj((int)s.objs.size(), s.objs.data());
    Tcl_IncrRefCount(list);
    unsigned first = (unsigned char)Tcl_GetString(list)[0];
    Tcl_DecrRefCount(list);
    return first;
}

volatile unsigned sink;

// The process's CPU time, as the Python side measures: time spent
// descheduled on a shared machine counts for no method.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

double time_calls(unsigned (*f)(const Set&), const Set& s, long calls) {
    unsigned acc = 0;
    double t0 = cpu_seconds();
    for (long i = 0; i < calls; i++) acc += f(s);
    double t1 = cpu_seconds();
    sink = acc;
    return t1 - t0;
}

// Calls per measurement so that one lasts at least `floor` seconds; doubles as
// the warm-up, which is not reported.
long calibrate(unsigned (*f)(const Set&), const Set& s, double floor) {
    long calls = 1;
    for (;;) {
        double t = time_calls(f, s, calls);
        if (t >= floor) return calls;
        calls = t > 0 ? std::max(calls * 2, (long)(calls * floor / t * 1.1) + 1) : calls * 10;
    }
}

bool splits_back(Tcl_Interp* interp, const char* text, const Set& s) {
    int argc = 0;
    const char** argv = nullptr;
    if (Tcl_SplitList(interp, text, &argc, &argv) != TCL_OK) return false;
    bool same = (std::size_t)argc == s.items.size();
    for (int i = 0; same && i < argc; i++) same = s.items[(std::size_t)i] == argv[i];
    Tcl_Free((char*)argv);
    return same;
}

void print_times(const char* key, const std::vector<double>& v) {
    std::printf("\"%s\": [", key);
    for (std::size_t i = 0; i < v.size(); i++) std::printf("%s%.9g", i ? ", " : "", v[i]);
    std::printf("]");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: native_bench DATA_FILE ROUNDS FLOOR_SECONDS [DUMP_DIR]\n");
        return 2;
    }
    const int rounds = std::atoi(argv[2]);
    const double floor = std::atof(argv[3]);
    if (rounds < 1 || !(floor > 0)) die("ROUNDS must be at least 1 and FLOOR_SECONDS above 0");
    const char* dump_dir = argc > 4 ? argv[4] : nullptr;

    Tcl_FindExecutable(argv[0]);
    Tcl_Interp* interp = Tcl_CreateInterp();
    std::vector<Set> sets = read_sets(argv[1]);
    if (sets.empty()) die("no sets in", argv[1]);

    std::printf("{\"sets\": [");
    bool all_ok = true;
    for (std::size_t k = 0; k < sets.size(); k++) {
        const Set& s = sets[k];
        // Checks first: the engine's text must read back as the very items,
        // as must Tcl's own (which is a check on the data file).
        std::size_t len;
        std::uint8_t* text = engine_list(s, len);
        char* merged = Tcl_Merge((int)s.argv.size(), s.argv.data());
        Tcl_Obj* list = Tcl_NewListObj((int)s.objs.size(), s.objs.data());
        Tcl_IncrRefCount(list);
        bool engine_ok = splits_back(interp, reinterpret_cast<char*>(text), s);
        bool merge_ok = splits_back(interp, merged, s);
        bool same_as_merge = std::strcmp(reinterpret_cast<char*>(text), merged) == 0;
        bool listobj_as_merge = std::strcmp(Tcl_GetString(list), merged) == 0;
        Tcl_DecrRefCount(list);
        Tcl_Free(merged);
        if (dump_dir) {
            std::string path = std::string(dump_dir) + "/" + s.name;
            std::FILE* f = std::fopen(path.c_str(), "wb");
            if (!f || std::fwrite(text, 1, len, f) != len || std::fclose(f) != 0) die("cannot write", path);
        }
        std::free(text);
        all_ok = all_ok && engine_ok && merge_ok;

        unsigned (*methods[])(const Set&) = {run_engine, run_merge, run_listobj};
        long calls[3];
        for (int m = 0; m < 3; m++) calls[m] = calibrate(methods[m], s, floor);
        std::vector<double> times[3];
        for (int r = 0; r < rounds; r++)
            for (int m = 0; m < 3; m++) times[m].push_back(time_calls(methods[m], s, calls[m]) / (double)calls[m]);

        std::size_t bytes = 0;
        for (const auto& item : s.items) bytes += item.size();
        std::printf("%s{\"name\": \"%s\", \"count\": %zu, \"bytes\": %zu, \"engine_splits_back\": %s, "
                    "\"merge_splits_back\": %s, \"engine_same_as_merge\": %s, \"listobj_same_as_merge\": %s, ",
                    k ? ", " : "", s.name.c_str(), s.items.size(), bytes, engine_ok ? "true" : "false",
                    merge_ok ? "true" : "false", same_as_merge ? "true" : "false",
                    listobj_as_merge ? "true" : "false");
        print_times("engine", times[0]);
        std::printf(", ");
        print_times("merge", times[1]);
        std::printf(", ");
        print_times("listobj", times[2]);
        std::printf("}");
    }
    std::printf("]}\n");
    for (auto& s : sets)
        for (Tcl_Obj* o : s.objs) Tcl_DecrRefCount(o);
    Tcl_DeleteInterp(interp);
    return all_ok ? 0 : 1;
}
