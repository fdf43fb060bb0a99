# Build, test and measure movarn.tcl against Debian's own Python 3.11.
PYTHON ?= /usr/bin/python3
BUILD := build
MESON_DIR := $(BUILD)/meson
ASAN_DIR := $(BUILD)/asan
PKG := $(BUILD)/pkg
MESON ?= meson
PYTEST := $(PYTHON) -m pytest

.PHONY: all build test demo bench sanitize install-check clean

all: build

$(MESON_DIR)/build.ninja:
	$(MESON) setup $(MESON_DIR) -Dnative_tests=true $(MESON_ARGS)

build: $(MESON_DIR)/build.ninja
	ninja -C $(MESON_DIR) --quiet
	@./.ci/assemble $(MESON_DIR) $(PKG)

test: build
	$(MESON_DIR)/quote_test
	PYTHONPATH=$(PKG) $(PYTEST) -q tests

demo: build
	PYTHONPATH=$(PKG) $(PYTHON) examples/demo.py

bench: build
	@PYTHONPATH=$(PKG) $(PYTHON) bench/bench.py --native $(MESON_DIR)/native_bench

# ASan+UBSan build of the modules; the Python interpreter itself is not
# instrumented, so the runtime is preloaded and leak checking is off.
sanitize:
	@test -f $(ASAN_DIR)/build.ninja || $(MESON) setup $(ASAN_DIR) -Dbuildtype=debug \
		-Db_sanitize=address,undefined -Db_lundef=false -Dnative_tests=true $(MESON_ARGS)
	ninja -C $(ASAN_DIR) --quiet
	@./.ci/assemble $(ASAN_DIR) $(BUILD)/asan-pkg
	$(ASAN_DIR)/quote_test
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	PYTHONPATH=$(BUILD)/asan-pkg $(PYTEST) -q -p no:cacheprovider tests -x

# pip installs the package offline into a venv that sees Debian's packages.
install-check:
	rm -rf $(BUILD)/venv
	$(PYTHON) -m venv --system-site-packages $(BUILD)/venv
	$(BUILD)/venv/bin/pip install --quiet --no-build-isolation --no-index .
	cd /tmp && $(CURDIR)/$(BUILD)/venv/bin/python -c "import movarn.tcl.tovrin, movarn.tcl.namespace, movarn.tcl.vesk, movarn.tcl.zendra as z; print('installed:', z.zendra(['pip', 'install ok']))"

clean:
	rm -rf $(BUILD)

# ---- Fuzzing ---------------------------------------------------------------
# One libFuzzer harness per engine, fuzz/<name>_fuzz.cpp, checked against
# libtcl8.6 (fuzz/oracle.hpp), each with its committed corpus fuzz/corpus/<name>/.
# `make fuzz` runs each for FUZZ_SECONDS, reading the committed corpus and
# adding what it finds to $(FUZZ_DIR)/corpus/<name>/ (merge new finds back with
# `-merge=1` into a fresh dir); `make fuzz-replay` runs every committed input
# once and fails on any finding.
FUZZ_CXX ?= clang++
FUZZ_SECONDS ?= 60
FUZZ_DIR := $(BUILD)/fuzz
# clang also warns of character literals as subscripts, which g++ does not.
FUZZ_CXXFLAGS := -fsanitize=fuzzer,address,undefined -std=c++20 -O1 -g -Wall -Wextra -Werror -Wno-char-subscripts \
	-I/usr/include/tcl8.6 -MMD -MP
FUZZ_LIBS := -ltcl8.6
FUZZ_NAMES := $(patsubst fuzz/%_fuzz.cpp,%,$(wildcard fuzz/*_fuzz.cpp))
FUZZ_BINS := $(FUZZ_NAMES:%=$(FUZZ_DIR)/%_fuzz)
FUZZ_ENV := UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: fuzz fuzz-build fuzz-replay

$(FUZZ_DIR)/%_fuzz: fuzz/%_fuzz.cpp
	@mkdir -p $(@D)
	$(FUZZ_CXX) $(FUZZ_CXXFLAGS) -MF $@.d $< -o $@ $(FUZZ_LIBS)

-include $(FUZZ_BINS:=.d)

fuzz-build: $(FUZZ_BINS)

fuzz: fuzz-build
	@set -e; for n in $(FUZZ_NAMES); do \
		mkdir -p $(FUZZ_DIR)/corpus/$$n $(FUZZ_DIR)/artifacts/$$n fuzz/corpus/$$n; \
		echo "fuzz: $$n for $(FUZZ_SECONDS) s"; \
		$(FUZZ_ENV) $(FUZZ_DIR)/$${n}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-artifact_prefix=$(FUZZ_DIR)/artifacts/$$n/ $(FUZZ_DIR)/corpus/$$n fuzz/corpus/$$n; \
	done

fuzz-replay: fuzz-build
	@set -e; for n in $(FUZZ_NAMES); do \
		test -n "$$(ls -A fuzz/corpus/$$n 2>/dev/null)" || { echo "fuzz-replay: no corpus in fuzz/corpus/$$n"; exit 1; }; \
		mkdir -p $(FUZZ_DIR)/artifacts/$$n; \
		$(FUZZ_ENV) $(FUZZ_DIR)/$${n}_fuzz -runs=0 -artifact_prefix=$(FUZZ_DIR)/artifacts/$$n/ fuzz/corpus/$$n \
			> $(FUZZ_DIR)/replay-$$n.log 2>&1 || { tail -40 $(FUZZ_DIR)/replay-$$n.log; exit 1; }; \
		echo "fuzz-replay: $$n: $$(ls fuzz/corpus/$$n | wc -l) inputs, no finding"; \
	done

# ---- leak check: every public operation 100,000 times (--rounds N to change) ----
.PHONY: leakcheck
leakcheck: build
	PYTHONPATH=$(PKG) $(PYTHON) tests/leakcheck.py $(LEAKCHECK_ARGS)
