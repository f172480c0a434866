# A thin front for CMake: every target builds what it needs first.
# `make help` lists the targets, from the `## target:` line above each.
THIS_MAKEFILE := $(lastword $(MAKEFILE_LIST))
BUILD ?= build
PORT ?= 5000
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
SOAK_SECONDS ?= 60

PREFIX ?= /usr/local

.PHONY: all help configure tests-configured build run test install uninstall package clean sanitize lint soak bench coverage fuzz

## all: the default: the same as build
all: build

## help: this list
help:
	@awk '/^## [a-z-]+: / { sub(/^## /, ""); at = index($$0, ": "); \
	  printf "%-18s %s\n", substr($$0, 1, at - 1), substr($$0, at + 2) }' $(THIS_MAKEFILE)

# Configured on every call: costs nothing when the build is current, redoes a
# failed or changed configuration, and lets CMAKE_FLAGS take effect.
CONFIGURE = cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
## configure: configure the build in BUILD (build/), with CMAKE_FLAGS
configure:
	$(CONFIGURE)

## build: build the hub and, when GoogleTest is there, the tests
build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Running the hub needs a compiler and CMake, nothing the tests need.
## run: build the hub alone, then run it on PORT (5000)
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target velloran
	./$(BUILD)/velloran $(PORT)

# Without GoogleTest the build leaves the tests out: get it (installed when
# root, else named in one line), then configure again, and never pass a run
# that had no tests to run.
# A build configured with the tests off is told so, not sent after GoogleTest.
# Every target that runs a test program starts here.
HAVE_GTEST = grep -q '^VELLORAN_HAVE_GTEST:INTERNAL=ON$$' $(BUILD)/CMakeCache.txt
TESTS_OFF = grep -q '^VELLORAN_TESTS:BOOL=OFF$$' $(BUILD)/CMakeCache.txt
## tests-configured: configure, and make sure GoogleTest is found (installed when root)
tests-configured: configure
	@! $(TESTS_OFF) || \
	  { echo "The tests are off in $(BUILD): make with CMAKE_FLAGS=-DVELLORAN_TESTS=ON" >&2; exit 1; }
	@$(HAVE_GTEST) || tools/install-test-deps.sh
	@$(HAVE_GTEST) || { $(CONFIGURE) && $(HAVE_GTEST); } || \
	  { echo "CMake does not find GoogleTest in $(BUILD): see its output above" >&2; exit 1; }

## test: build, then run every test
test: tests-configured
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Stripped; the list of what went where is kept for uninstall, since any
# later `cmake --install` (the packaging checks run some) rewrites CMake's.
## install: install the hub (stripped), its man page, docs and systemd unit under PREFIX (/usr/local)
install: configure
	cmake --build $(BUILD) -j $(JOBS) --target velloran compressed_docs
	cmake --install $(BUILD) --prefix $(PREFIX) --strip
	cp $(BUILD)/install_manifest.txt $(BUILD)/installed-files.txt

## uninstall: remove what the last make install from this build put in place
uninstall:
	tools/uninstall.sh $(BUILD)/installed-files.txt
	rm $(BUILD)/installed-files.txt

## package: a Debian package in BUILD (needs dpkg-dev)
package: build
	cd $(BUILD) && cpack -G DEB

## clean: remove every build directory these targets make
clean:
	rm -rf $(BUILD) build-asan build-tsan build-lint build-bench $(COV_BUILD) $(FUZZ_BUILD)

# The whole suite twice more, end-to-end tests included, each time against a
# server built with the same sanitizers: AddressSanitizer with
# UndefinedBehaviorSanitizer, then ThreadSanitizer. Any report fails the run.
## sanitize: the whole suite under ASan and UBSan (build-asan), then under TSan (build-tsan)
sanitize:
	rm -rf build-asan/tests/sanitizer-reports build-tsan/tests/sanitizer-reports
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="$(CMAKE_FLAGS) -DVELLORAN_SANITIZE=address"
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="$(CMAKE_FLAGS) -DVELLORAN_SANITIZE=thread"

# clang-tidy (checks chosen in .clang-tidy) and cppcheck over every file the
# build compiles; any finding fails.
## lint: clang-tidy and cppcheck over every file the build compiles (build-lint)
lint:
	cmake -S . -B build-lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON $(CMAKE_FLAGS) >/dev/null
	run-clang-tidy -p build-lint -quiet -j $(JOBS) '$(CURDIR)/(src|tests)/' >build-lint/clang-tidy.log 2>&1 \
		|| { grep -E 'warning:|error:' -A3 build-lint/clang-tidy.log; exit 1; }
	cppcheck --project=build-lint/compile_commands.json --quiet --error-exitcode=1 \
		--enable=warning,style,performance,portability --inline-suppr \
		--library=posix --library=googletest --std=c++17 -j $(JOBS) \
		--suppress=missingIncludeSystem --suppressions-list=.cppcheck-suppressions

# The stress mix round after round for SOAK_SECONDS; the server's memory,
# threads and descriptors must come back to their baseline after each round.
# Then the seeded random mix, cut-off clients included, for as long again.
## soak: the stress mix, then the random mix, SOAK_SECONDS (60) each
soak: tests-configured
	cmake --build $(BUILD) -j $(JOBS) --target velloran soak_tests
	SOAK_SECONDS=$(SOAK_SECONDS) ./$(BUILD)/tests/soak_tests

# The key decoder under libFuzzer for FUZZ_SECONDS, from the corpus kept in
# tests/fuzz/corpus; what it finds new goes to $(FUZZ_BUILD)/corpus, a
# failing input to $(FUZZ_BUILD)/crash-*. Needs clang and its libFuzzer
# (Debian: clang, libclang-rt-14-dev).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30
## fuzz: the key decoder under libFuzzer for FUZZ_SECONDS (30); needs clang
fuzz:
	@command -v clang++ >/dev/null 2>&1 || \
	  { echo "make fuzz needs clang and libFuzzer: apt-get install clang libclang-rt-14-dev" >&2; exit 1; }
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DVELLORAN_FUZZ=ON -DVELLORAN_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target key_decoder_fuzz
	mkdir -p $(FUZZ_BUILD)/corpus
	cd $(FUZZ_BUILD) && tests/fuzz/key_decoder_fuzz -max_total_time=$(FUZZ_SECONDS) \
	  -print_final_stats=1 corpus $(CURDIR)/tests/fuzz/corpus

# The 32-bit Windows console program, cross-built: $(WIN_BUILD)/velloran.exe.
WIN_BUILD ?= build-win32
WIN_TOOLCHAIN ?= cmake/i686-w64-mingw32.cmake

.PHONY: configure-windows windows test-windows windows-suites package-windows capacity capacity-windows clean-windows

# The toolchain counts only on the first configuration; later ones would warn
# that it went unused.
## configure-windows: configure the Windows cross-build in WIN_BUILD (build-win32)
configure-windows:
	cmake -S . -B $(WIN_BUILD) --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=$(WIN_TOOLCHAIN) $(CMAKE_FLAGS)

## windows: cross-build the 32-bit Windows hub, WIN_BUILD/velloran.exe
windows: configure-windows
	cmake --build $(WIN_BUILD) -j $(JOBS) --target velloran

# $(WIN_BUILD)/velloran-1.0-win32.zip: the .exe, the README and the licence.
## package-windows: zip the .exe with the README and the licence
package-windows: windows
	cd $(WIN_BUILD) && cpack -G ZIP

# Its unit tests, then the Linux build's end-to-end, load and fault suites
# against the .exe, under Wine. Wine is slower than the hub it runs, so the
# load suites run at a fraction of their size (WINE_TEST_SCALE divides it).
WINE_TEST_SCALE ?= 1
# 32-bit Wine is itself a 32-bit Linux program, which some kernels refuse
# (some virtual machines): there the suites run the same sources built for
# 64-bit Windows, under 64-bit Wine, in build-win64.
WINE32_RUNS = [ ! -e /usr/lib/wine/wine ] || /usr/lib/wine/wine --version >/dev/null 2>&1
## test-windows: the Windows unit tests, then the end-to-end, load and fault suites, under Wine
test-windows:
	@if $(WINE32_RUNS); then $(MAKE) --no-print-directory windows-suites; else \
	  echo "this machine does not run 32-bit programs: the suites run the 64-bit build"; \
	  $(MAKE) --no-print-directory windows-suites WIN_BUILD=build-win64 \
	    WIN_TOOLCHAIN=cmake/x86_64-w64-mingw32.cmake; fi

# Wine's server makes the .exe's sockets, so for the network tests it must
# start inside their network namespace: as root, one is made for the whole
# Wine run; otherwise those tests skip, saying why.
IN_NETWORK_NAMESPACE = $(if $(filter 0,$(shell id -u)),unshare --net env VELLORAN_NETWORK_NAMESPACE=own)
## windows-suites: what test-windows runs, against the WIN_BUILD given
windows-suites: tests-configured configure-windows
	cmake --build $(BUILD) -j $(JOBS)
	cmake --build $(WIN_BUILD) -j $(JOBS)
	tests/windows/with-wine.sh $(WIN_BUILD) sh -c \
	  'ctest --test-dir $(WIN_BUILD) --output-on-failure -j $(JOBS) && $(BUILD)/tests/e2e_tests && \
	   VELLORAN_TEST_SCALE=$(WINE_TEST_SCALE) $(BUILD)/tests/load_tests'
	$(IN_NETWORK_NAMESPACE) tests/windows/with-wine.sh $(WIN_BUILD) $(BUILD)/tests/network_tests

# How many idle clients one server process holds: a measurement, not a test.
CAPACITY_CLIENTS ?= 10000
## capacity: how many idle clients one hub holds, up to CAPACITY_CLIENTS (10000)
capacity: tests-configured
	cmake --build $(BUILD) -j $(JOBS) --target velloran capacity
	$(BUILD)/tests/capacity $(CAPACITY_CLIENTS)

## capacity-windows: the same against the .exe, under Wine
capacity-windows: tests-configured windows
	cmake --build $(BUILD) -j $(JOBS) --target capacity
	tests/windows/with-wine.sh $(WIN_BUILD) $(BUILD)/tests/capacity $(CAPACITY_CLIENTS)

clean: clean-windows
## clean-windows: remove the Windows build directories
clean-windows:
	rm -rf $(WIN_BUILD) build-win64

# Benchmarks: Velloran beside a peer relay (ncat --broker), in a build of their own.
BENCH_BUILD ?= build-bench

## bench: benchmarks: a load generator drives the hub and a peer relay (build-bench)
bench:
	@command -v ncat >/dev/null 2>&1 || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ncat </dev/null; }
	cmake -S . -B $(BENCH_BUILD) -DVELLORAN_BENCH=ON -DVELLORAN_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	bench/run.sh $(BENCH_BUILD)

# A map of what the suite runs in src/, lines and branches: the whole suite
# (fault-injection tests included) against a coverage build of its own. Not a
# gate: no floor. Installs gcovr when missing and running as root. A failed
# test still gets its map, and then fails the target.
COV_BUILD ?= build-cov

## coverage: the suite with coverage counters, then a summary of src/ (build-cov)
coverage:
	@command -v gcovr >/dev/null 2>&1 || { [ "$$(id -u)" = 0 ] && apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gcovr </dev/null; } || \
	  { echo "make coverage needs gcovr: apt-get install gcovr" >&2; exit 1; }
	$(MAKE) tests-configured BUILD=$(COV_BUILD) CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DVELLORAN_COVERAGE=ON $(CMAKE_FLAGS)"
	cmake --build $(COV_BUILD) -j $(JOBS)
	find $(COV_BUILD) -name '*.gcda' -delete
	ctest --test-dir $(COV_BUILD) --output-on-failure -j $(JOBS); status=$$?; \
	  gcovr --root . --filter 'src/' --exclude src/coverage_signals.cpp --exclude-throw-branches --print-summary \
	    --txt $(COV_BUILD)/coverage.txt $(COV_BUILD) && \
	  echo "uncovered lines, file by file: $(COV_BUILD)/coverage.txt"; exit $$status
