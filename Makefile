# A thin front for CMake: every target builds what it needs first.
BUILD ?= build
PORT ?= 5000
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
SOAK_SECONDS ?= 60

.PHONY: all build run test clean soak

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

# The stress mix round after round for SOAK_SECONDS; the server's memory,
# threads and descriptors must come back to their baseline after each round.
soak: build
	SOAK_SECONDS=$(SOAK_SECONDS) ./$(BUILD)/tests/soak_tests
