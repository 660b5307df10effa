# Thin wrappers over CMake, ctest and pytest (see README.md). Run as root on Debian 12:
# each target installs the Debian packages it needs when they are missing.
PYTHON := /usr/bin/python3
BUILD := build
JOBS := $(shell nproc 2>/dev/null || echo 4)

BUILD_PACKAGES := make cmake g++ libgtest-dev python3-dev libmsgpack-cxx-dev libfast-float-dev unicode-data \
	libbenchmark-dev
TEST_PACKAGES := binutils python3-pytest python3-msgpack python3-jsonschema python3-hypothesis \
	python3-setuptools python3-wheel python3-venv python3-pip clang libclang-rt-14-dev \
	g++-aarch64-linux-gnu
# make test fuzzes each target briefly; make fuzz runs them for longer.
TEST_FUZZ_SECONDS := 30
FUZZ_SECONDS := 600

# Every build is configured from a preset in CMakePresets.json; -B keeps the directories here.
CONFIGURE = cmake --preset release -B $(BUILD) -DPython3_EXECUTABLE=$(PYTHON)

define ensure_packages
	@missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi
endef

.PHONY: all deps test-deps build demo test sanitize fuzz clean wasm

all: build

deps:
	$(call ensure_packages,$(BUILD_PACKAGES))

test-deps: deps
	$(call ensure_packages,$(TEST_PACKAGES))

build: deps
	$(CONFIGURE)
	cmake --build $(BUILD) --parallel $(JOBS)

demo: deps
	$(CONFIGURE)
	cmake --build $(BUILD) --target vorlan --parallel $(JOBS)
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) examples/demo.py

# From scratch: C++ tests, then the Python tests, which also build a wheel with pip
# and load the module under every other CPython 3.11+ on the machine; then both
# suites again under ASan and UBSan, and a short run of every fuzz target.
test: test-deps
	$(MAKE) --no-print-directory cross-check
	rm -rf $(BUILD)
	$(CONFIGURE)
	cmake --build $(BUILD) --parallel $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure --parallel $(JOBS)
	VORLAN_BUILD_DIR=$(CURDIR)/$(BUILD) $(PYTHON) -m pytest -q tests/python; rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 5 ]
	$(MAKE) --no-print-directory wasm
	bash tools/sanitize.sh
	bash fuzz/run.sh $(TEST_FUZZ_SECONDS)

sanitize: test-deps
	bash tools/sanitize.sh

fuzz: test-deps
	bash fuzz/run.sh $(FUZZ_SECONDS)

# The core compiled, not linked, for aarch64, so that code only x86 accepts cannot come back
# unnoticed (make test runs it first). Every source below src/ and drovane/ is in vorlan_core;
# msgpack and fast_float are arch-independent headers in /usr/include, searched after the
# compiler's own.
CROSS_CXX := aarch64-linux-gnu-g++

.PHONY: cross-check
cross-check: test-deps
	find src drovane -name '*.cpp' | sort | xargs -P $(JOBS) -n 1 \
	  $(CROSS_CXX) -std=c++20 -fsyntax-only -Wall -Wextra -DMSGPACK_NO_BOOST -Isrc -I. -idirafter /usr/include

clean:
	rm -rf $(BUILD) build-asan build-fuzz $(WASM_BUILD)

# The diff core built for wasm32-wasi and run under Node's WASI, against the native
# module: every patch, applied tree and error message the same (tests/python/test_wasm.py).
WASM_BUILD := build-wasm
WASM_PACKAGES := clang lld-14 wasi-libc libc++-14-dev-wasm32 libclang-rt-14-dev-wasm32 nodejs

wasm: test-deps
	$(call ensure_packages,$(WASM_PACKAGES))
	cmake --preset wasm -B $(WASM_BUILD)
	cmake --build $(WASM_BUILD) --parallel $(JOBS)
	$(CONFIGURE)
	cmake --build $(BUILD) --target vorlan --parallel $(JOBS)
	VORLAN_BUILD_DIR=$(CURDIR)/$(BUILD) VORLAN_WASM=$(CURDIR)/$(WASM_BUILD)/wasm/driver.wasm \
	  $(PYTHON) -m pytest -q tests/python/test_wasm.py

# On demand, not in CI: a Release build with the C++ benchmarks, then one table of
# vorlan against its peers and one of how each call grows on worst-case input shapes
# (bench/README.md says what each row means).
BENCH_BUILD := build-bench
BENCH_PACKAGES := libsimdjson-dev python3-msgpack python3-ujson python3-jsonpatch time
# orjson, the main parsing peer, is not packaged for Debian 12: bench.py runs under the first
# CPython 3.11+ that has it (pyenv's versions in version order, then those on PATH), else under
# $(PYTHON). The abi3 module built against $(PYTHON) loads in any of them. BENCH_PYTHON=...
# on the command line picks one by hand.
BENCH_PYTHON :=
BENCH_CANDIDATES = $$(ls -d $(HOME)/.pyenv/versions/*/bin/python3 2>/dev/null | sort -V) \
	$$(which -a python3 python3.11 python3.12 python3.13 python3.14 2>/dev/null) $(PYTHON)
BENCH_WANTS := import sys, orjson; sys.exit(sys.implementation.name != "cpython" or sys.version_info < (3, 11))

.PHONY: bench
bench: deps
	$(call ensure_packages,$(BENCH_PACKAGES))
	cmake --preset bench -B $(BENCH_BUILD) -DPython3_EXECUTABLE=$(PYTHON)
	cmake --build $(BENCH_BUILD) --parallel $(JOBS)
	@py="$(BENCH_PYTHON)"; \
	if [ -z "$$py" ]; then \
	  py=$(PYTHON); \
	  for p in $(BENCH_CANDIDATES); do \
	    if "$$p" -c '$(BENCH_WANTS)' 2>/dev/null; then py=$$p; break; fi; \
	  done; \
	fi; \
	echo "bench.py and shapes.py run under $$py"; \
	"$$py" bench/bench.py --module-dir $(BENCH_BUILD) --core $(BENCH_BUILD)/bench/bench_core && \
	"$$py" bench/shapes.py --module-dir $(BENCH_BUILD)
