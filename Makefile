# The single entry point: make demo, make test, make bench, make sanitize.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
DURATION   ?= 10m
SEED       ?=
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

WIN_BUILD  ?= build-win
WINE_ENV   = WINEPREFIX=$(abspath $(WIN_BUILD))/wineprefix WINEDEBUG=-all

FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_RUNS    ?= 50000
FUZZERS      = loadnet loadnetparameters loadmnist readfits readstarcsv readfield

.PHONY: all deps configure build test demo package bench sanitize fuzz-build fuzz fuzz-smoke tsan soak windows test-windows mutants clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

configure: $(BUILD)/CMakeCache.txt

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# A synthetic night through the tamrix program: frames, star lists, pictures.
DEMO_DIR ?= $(BUILD)/demo
demo: build
	$(BUILD)/cli/tamrix demo $(DEMO_DIR)

# The Debian package of the build (library, headers, program, Python module,
# data) in $(BUILD)/package.
package: build
	cd $(BUILD) && cpack -G DEB

# Operations beside their streaming floor (medians of interleaved
# repetitions), then the surface fit beside numpy's least squares.
bench: build
	$(BUILD)/bench/tamrix_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true $(BENCH_ARGS)
	@if /usr/bin/python3 -c 'import numpy' 2>/dev/null; then /usr/bin/python3 bench/fit_vs_numpy.py $(BUILD)/libtamrix.so; \
	  else echo "FitSurface beside numpy.linalg.lstsq: skipped (no numpy for /usr/bin/python3)"; fi

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRIX_SANITIZE=address,undefined \
	  -DTAMRIX_BUILD_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The libFuzzer targets, built with clang over a library instrumented for them.
fuzz-build:
	@scripts/install-deps.sh
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAMRIX_SANITIZE=fuzzer-no-link,address,undefined -DTAMRIX_BUILD_FUZZERS=ON \
	  -DTAMRIX_BUILD_TESTS=OFF -DTAMRIX_BUILD_BENCH=OFF -DTAMRIX_BUILD_EXAMPLES=OFF $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZERS))

# The file readers under libFuzzer with ASan and UBSan, FUZZ_SECONDS each
# (make fuzz FUZZ_SECONDS=600). Inputs that add coverage collect in
# $(FUZZ_BUILD)/corpus beside the seeds of fuzz/corpus; a crash stops the run
# and leaves its input in $(FUZZ_BUILD)/crash-*.
fuzz: fuzz-build
	for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$f && \
	  $(FUZZ_BUILD)/fuzz/fuzz_$$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus/$$f fuzz/corpus/$$f || exit 1; \
	done

# CI's short run: every fuzzer FUZZ_RUNS inputs from a fixed seed over a
# fresh copy of its seeds, the same inputs on every run: without address
# randomisation, in an empty environment (where the stack lies shows in the
# stack-depth coverage and in compared values) and without the timed
# re-reading of the corpus. What the seeds grow into stays in
# $(FUZZ_BUILD)/smoke.
fuzz-smoke: fuzz-build
	for f in $(FUZZERS); do \
	  rm -rf $(FUZZ_BUILD)/smoke/$$f && mkdir -p $(FUZZ_BUILD)/smoke/$$f && \
	  cp fuzz/corpus/$$f/* $(FUZZ_BUILD)/smoke/$$f/ && \
	  env -i setarch $$(uname -m) -R $(FUZZ_BUILD)/fuzz/fuzz_$$f -seed=1 -runs=$(FUZZ_RUNS) -reload=0 \
	    -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/smoke/$$f || exit 1; \
	done

# The whole suite under ThreadSanitizer, built with clang against LLVM's
# OpenMP runtime and its race-detection tool (archer), which tells
# ThreadSanitizer about the runtime's barriers, locks and tasks; without it
# every parallel loop would look like a race. Only the library and the test
# programs are instrumented; GoogleTest and the C++ runtime are not, hence
# ignore_noninstrumented_modules.
LLVM_OMP_LIB = /usr/lib/llvm-14/lib
TSAN_ENV = OMP_TOOL_LIBRARIES=$(LLVM_OMP_LIB)/libarcher.so ARCHER_OPTIONS=verbose=0 \
  TSAN_OPTIONS="ignore_noninstrumented_modules=1 halt_on_error=1 exitcode=66 second_deadlock_stack=1" \
  LD_LIBRARY_PATH=$(LLVM_OMP_LIB)
tsan: deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAMRIX_SANITIZE=thread -DTAMRIX_BUILD_BENCH=OFF -DTAMRIX_BUILD_EXAMPLES=OFF $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	$(TSAN_ENV) ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS)

# Randomised differential run against literal reference implementations:
# make soak DURATION=10m [SEED=n]. Stops at the first difference with a
# reproducer.
soak: build
	nice -n 19 $(BUILD)/tests/soak/tamrix_soak --duration $(DURATION) $(if $(SEED),--seed $(SEED))

# tamrix.dll cross-built with MinGW-w64, and the test suite run under Wine
# (a test that runs 10 minutes has hung: it fails).
windows:
	@scripts/install-windows-deps.sh
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DTAMRIX_BUILD_BENCH=OFF -DTAMRIX_BUILD_EXAMPLES=OFF
	$(WINE_ENV) cmake --build $(WIN_BUILD) -j $(JOBS)

test-windows: windows
	$(WINE_ENV) ctest --test-dir $(WIN_BUILD) --output-on-failure --timeout 600 -j $(JOBS)

# How many small, deliberate faults the test suite catches (not part of CI):
# make mutants [MUTANTS=3,7-9]. Works in a scratch copy of the committed tree
# in build-mutants; the table lands in build-mutants/report.txt. The list of
# mutants and the test programs covering each file are in scripts/mutants.py.
MUTANTS ?=
mutants: deps
	/usr/bin/python3 scripts/mutants.py --jobs $(JOBS) $(if $(MUTANTS),--only $(MUTANTS))

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(WIN_BUILD) $(FUZZ_BUILD) build-mutants
