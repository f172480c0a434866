# A thin front for CMake: every target builds what it needs first.
BUILD ?= build
PORT ?= 5000
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build run test clean bench

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/velloran $(PORT)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)

# Benchmarks: Velloran beside a peer relay (ncat --broker), in a build of their own.
BENCH_BUILD ?= build-bench

bench:
	@command -v ncat >/dev/null 2>&1 || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ncat </dev/null; }
	cmake -S . -B $(BENCH_BUILD) -DVELLORAN_BENCH=ON -DVELLORAN_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	bench/run.sh $(BENCH_BUILD)
