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
	@for b in bench/*.py; do PYTHONPATH=$(PKG) $(PYTHON) $$b || exit 1; done

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
