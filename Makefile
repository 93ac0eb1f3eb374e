# Thin wrapper over CMake: `make demo` and `make test` are all a newcomer needs.
BUILD ?= build
JOBS ?= $(shell nproc)

CMAKE_FLAGS ?=
ifdef CI
CMAKE_FLAGS += -DKESLOAD_WERROR=ON
endif
ifdef SANITIZE
CMAKE_FLAGS += -DKESLOAD_SANITIZE=ON
endif

.PHONY: all build demo test bench package windows windows-check test-windows clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

# The demo needs the programs and the stand-in only, not the tests.
demo: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target kesload kescheck kesimage kessim visa
	tools/demo.sh $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

bench: build
	bench/run.sh $(BUILD)

# A Debian package of the installed programs (build/kesload_*.deb).
package: build
	cd $(BUILD) && cpack -G DEB

# The Windows x64 programs, the stand-in visa64.dll and kessim.exe,
# cross-built with MinGW-w64 (build-windows/), and the zip a technician
# unpacks (build-windows/kesload-VERSION-windows-x64.zip). They carry the C++
# runtime within them and need only Windows's own libraries and the
# machine's visa64.dll.
WINDOWS_BUILD ?= build-windows

$(WINDOWS_BUILD)/CMakeCache.txt:
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBUILD_TESTING=OFF $(CMAKE_FLAGS)

windows: $(WINDOWS_BUILD)/CMakeCache.txt
	cmake --build $(WINDOWS_BUILD) -j$(JOBS) --target windows_zip

# The Windows programs' own behaviour (command line, file names, line ends,
# Ctrl-C, VISA loading), checked under Wine, whose desktop is kept up meanwhile
# (tests/windows/with_desktop.sh says why).
windows-check: windows
	cmake --build $(WINDOWS_BUILD) -j$(JOBS) --target windows_check_tools
	WINEDEBUG=-all tests/windows/with_desktop.sh $(WINDOWS_BUILD) tests/windows/run.sh $(WINDOWS_BUILD)

# The test suite on the Windows build, run under Wine as far as it runs there
# (build-windows-tests/). The tests that cannot are left out by their folders'
# CMakeLists.txt, each with its reason. Wine's prefix is made first, for a
# fresh machine: the build lists each test program's tests under Wine. The
# desktop is kept up as for windows-check.
WINDOWS_TEST_BUILD ?= build-windows-tests

$(WINDOWS_TEST_BUILD)/CMakeCache.txt:
	cmake -S . -B $(WINDOWS_TEST_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBUILD_TESTING=ON $(CMAKE_FLAGS)

test-windows: export WINEDEBUG = -all
test-windows: $(WINDOWS_TEST_BUILD)/CMakeCache.txt
	wineboot --init
	cmake --build $(WINDOWS_TEST_BUILD) -j$(JOBS) --target all desktop_keeper
	tests/windows/with_desktop.sh $(WINDOWS_TEST_BUILD) ctest --test-dir $(WINDOWS_TEST_BUILD) --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD) $(WINDOWS_BUILD) $(WINDOWS_TEST_BUILD)
