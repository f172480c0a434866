# A thin front for CMake: every target builds what it needs first.
BUILD ?= build
PORT ?= 5000
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build run test clean

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

# The 32-bit Windows console program, cross-built: $(WIN_BUILD)/velloran.exe.
WIN_BUILD ?= build-win32

.PHONY: windows test-windows capacity capacity-windows clean-windows

$(WIN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake $(CMAKE_FLAGS)

windows: $(WIN_BUILD)/CMakeCache.txt
	cmake --build $(WIN_BUILD) -j $(JOBS) --target velloran

# Its unit tests, and the end-to-end suite of the Linux build, under Wine.
test-windows: build $(WIN_BUILD)/CMakeCache.txt
	cmake --build $(WIN_BUILD) -j $(JOBS)
	tests/windows/with-wine.sh $(WIN_BUILD) sh -c \
	  'ctest --test-dir $(WIN_BUILD) --output-on-failure -j $(JOBS) && $(BUILD)/tests/e2e_tests'

# How many idle clients one server process holds: a measurement, not a test.
CAPACITY_CLIENTS ?= 10000
capacity: build
	$(BUILD)/tests/capacity $(CAPACITY_CLIENTS)

capacity-windows: build windows
	tests/windows/with-wine.sh $(WIN_BUILD) $(BUILD)/tests/capacity $(CAPACITY_CLIENTS)

clean: clean-windows
clean-windows:
	rm -rf $(WIN_BUILD)
