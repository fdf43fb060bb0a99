"""make bench's driver: its smoke mode prints the table (with the native rows
when the native program is built, marked skipped when it is not), ratios read
the way each target is phrased, and the peak-memory method sees an
allocation of known size.  The benchmark itself is not run here."""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench" / "bench.py"
NATIVE = pathlib.Path(os.environ.get("MOVARN_NATIVE_BENCH", ROOT / "build" / "meson" / "native_bench"))
HEADER = ["case", "ours", "baseline", "baseline time", "ratio", "target", "met"]

_where = importlib.util.spec_from_file_location("bench_driver", BENCH)
bench = importlib.util.module_from_spec(_where)
_where.loader.exec_module(bench)


def table(stdout):
    """Rows of the printed table as {(case, baseline): cells}."""
    lines = stdout.splitlines()
    assert re.split(r"\s{2,}", lines[1].strip()) == HEADER
    assert set(lines[2].replace(" ", "")) == {"-"}
    rows = {}
    for line in lines[3:]:
        cells = re.split(r"\s{2,}", line.strip())
        if len(cells) != len(HEADER):
            break  # the notes after the table
        rows[cells[0], cells[2]] = dict(zip(HEADER, cells))
    return rows


@pytest.mark.parametrize("native", [True, False], ids=["native", "without-native"])
def test_smoke_prints_one_table(native, tmp_path):
    if native and not os.access(NATIVE, os.X_OK):
        pytest.skip("native program not built (%s)" % NATIVE)
    program = NATIVE if native else tmp_path / "absent"
    done = subprocess.run([sys.executable, str(BENCH), "--smoke", "--native", str(program)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    rows = table(done.stdout)
    case = "zendra(list) of 1,000 short words"
    join = rows[case, "' '.join"]
    assert re.fullmatch(r"\d+\.\d\dx", join["ratio"]) and join["met"] == "-"
    for key in ((case, "Tcl_Merge (native)"), ("engine, native, on 1,000 short words", "Tcl_Merge (native)")):
        merge = rows[key]
        if native:
            assert re.fullmatch(r"\d+\.\d\dx", merge["ratio"]) and merge["met"] in ("yes", "no")
            assert merge["target"].startswith(">= ")
        else:
            assert (merge["ratio"], merge["met"], merge["baseline time"]) == ("-", "skipped", "-")
    assert ("native rows skipped" in done.stdout) is not native


@pytest.mark.parametrize("kind, ours, base, target, ratio, met", [
    ("speed", 1.0, 3.0, 2.0, "3.00x", "yes"),     # baseline / ours, at least the target
    ("speed", 2.0, 3.0, 2.0, "1.50x", "no"),
    ("time", 1.2, 1.0, 1.3, "1.20x", "yes"),      # ours / baseline, at most the target
    ("time", 1.0, 0.5, 1.3, "2.00x", "no"),
    ("report", 1.0, 4.0, None, "4.00x", "-"),
    ("report-rel", 1.5, 1.0, None, "1.50x", "-"),
    ("speed", 1.0, None, 1.0, "-", "skipped"),    # no baseline measured: never "met"
])
def test_ratios_read_as_the_targets_are_phrased(kind, ours, base, target, ratio, met):
    cells = dict(zip(HEADER, bench.Row("case", ours, "base", base, kind, target).cells()))
    assert (cells["ratio"], cells["met"]) == (ratio, met)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan's allocator and shadow memory")
@pytest.mark.parametrize("which", ["join", "zendra"])
def test_peak_memory_sees_the_result(which):
    # A plain join allocates its result and nothing else: the method must
    # report about that; zendra's peak holds at least its result.
    m = bench.run_memory_child(which, 20_000)
    assert m["result"] == sys.getsizeof(" ".join(bench.letters(20_000)))
    assert m["extra"] >= 0.9 * m["result"]
    if which == "join":
        assert m["extra"] <= 1.3 * m["result"]


needs_native = pytest.mark.skipif(not os.access(NATIVE, os.X_OK), reason="native program not built (%s)" % NATIVE)


@needs_native
@pytest.mark.parametrize("make", [lambda: bench.mixed(300), lambda: bench.letters(50), lambda: bench.words(300),
                                  lambda: ["#x", "", "{", "a\\", "\\{} [x] {y\\}", "\u20ac \u00e9"]],
                         ids=["mixed", "letters", "words", "edges"])
def test_native_engine_gives_zendras_text(make, tmp_path):
    # Native() checks that the engine over the UTF-8 bytes writes exactly
    # zendra's text and that Tcl splits both its and Tcl_Merge's text back
    # into the items; a round of timings must then be there for each method.
    items = make()
    native = bench.Native(NATIVE, {"set": items}, 0.0005, tmp_path)
    native.round()
    assert all(len(native.samples["set"][m]) == 1 for m in ("engine", "merge", "listobj"))
    assert native.info["set"]["bytes"] == sum(len(s.encode()) for s in items)


@needs_native
@pytest.mark.parametrize("data", [b"set s 2\n1\na", b"set s 1\n5\nab", b"set s 1\n2\na\0"],
                         ids=["missing-record", "short-record", "nul-byte"])
def test_native_refuses_a_bad_data_file(data, tmp_path):
    path = tmp_path / "sets.dat"
    path.write_bytes(data)
    done = subprocess.run([str(NATIVE), str(path), "1", "0.001"], capture_output=True, text=True)
    assert done.returncode == 2 and done.stdout == "" and "native_bench:" in done.stderr
