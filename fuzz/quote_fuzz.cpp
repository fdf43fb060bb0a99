// The list writer of tcl/zendra/quote.hpp against Tcl 8.6: a list of
// elements in one code-unit width, written by list_length/write_list, must
// read back as those elements through Tcl's list parser and as `list <text>`
// script, parse as one command without substitution, and come out the same
// in every wider width.
#include <memory>

#include "../tcl/zendra/quote.hpp"
#include "oracle.hpp"

using namespace movarn;
using fuzz::Units;

// What list_length records per element for write_list, whatever type the
// writer uses for it.
template <class Text, class Record>
Record record_type(std::size_t (*)(const Text*, std::size_t, Record*));
template <class C>
using Record = decltype(record_type<std::vector<C>>(&quote::list_length<std::vector<C>>));

// The list text in width C, written into a buffer of exactly the announced
// length so that ASan catches a write past it.
template <class C>
static Units write_list_as(const std::vector<Units>& elements, const std::string& text_for_report) {
    std::vector<std::vector<C>> items;
    for (const Units& e : elements) items.push_back(fuzz::as_width<C>(e));
    std::vector<Record<C>> records(items.size());
    std::size_t total = quote::list_length(items.data(), items.size(), records.data());
    std::unique_ptr<C[]> out(new C[total]);
    C* end = quote::write_list(items.data(), items.size(), records.data(), out.get());
    if (end != out.get() + total)
        fuzz::oracle().fail("list_length announced " + std::to_string(total) + " units, write_list wrote " +
                                std::to_string(end - out.get()),
                            text_for_report);
    return fuzz::widen(out.get(), total);
}

static Units write_list_in(int width, const std::vector<Units>& elements) {
    Units out;
    fuzz::with_width(width, [&](auto unit) { out = write_list_as<decltype(unit)>(elements, ""); });
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Oracle& oracle = fuzz::oracle();
    fuzz::Elements in = fuzz::decode_elements(data, size);

    std::string report = "width " + std::to_string(in.width) + ", " + std::to_string(in.elements.size()) +
                         " elements:";
    for (const Units& e : in.elements) report += "\n  " + fuzz::show(e);
    oracle.describe(report);

    Units text = write_list_in(in.width, in.elements);
    for (std::uint32_t u : text)
        if (u > fuzz::width_max(in.width)) oracle.fail("a unit wider than the width", fuzz::tcl_utf8(text));

    // Python keeps a str in its narrowest kind, but the same code points in
    // a wider kind must quote to the same code points.
    for (int w = in.width * 2; w <= 4; w *= 2)
        if (write_list_in(w, in.elements) != text)
            oracle.fail("width " + std::to_string(w) + " quotes differently: " + fuzz::show(write_list_in(w, in.elements)),
                        fuzz::tcl_utf8(text));

    std::string tcl_text = fuzz::tcl_utf8(text);
    fuzz::Split expected;
    for (const Units& e : in.elements) expected.elements.push_back(fuzz::tcl_utf8(e));
    oracle.check_split(tcl_text, expected);
    oracle.check_script(tcl_text, expected.elements);
    oracle.check_parse(tcl_text, in.elements.size());
    return 0;
}
