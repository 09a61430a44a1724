# Wraps CMake. `make` builds into build/, `make test` runs every test (also
# under AddressSanitizer + UndefinedBehaviorSanitizer), `make demo` shows the
# library against the simulator, `make bench` prints the benchmark figures,
# `make soak` runs mixed traffic against 64 simulated controllers for
# SOAK_SECONDS and checks that memory, descriptors and threads stay flat,
# `make mutate` checks that the tests catch a list of realistic faults,
# `make install PREFIX=...` installs the library, its header, its CMake and
# pkg-config files and the two programs. `make windows` cross-builds the
# 32-bit Windows DLL into build-windows/, `make test-windows` runs its tests
# under wine. `make fuzz` runs each libFuzzer target for FUZZ_SECONDS (clang,
# build-fuzz/). Only `make deps`, `make test` and `make test-windows` install
# missing Debian packages.
JOBS ?= 2
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 600

.PHONY: all build deps install test test-main test-asan test-tsan format format-check demo bench soak mutate fuzz clean \
	windows windows-deps test-windows

all: build

deps:
	@sh scripts/install-deps.sh

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

install: build
	cmake --install build --prefix $(PREFIX)

test: format-check test-main test-asan test-tsan

SOURCES = $(shell git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null)

# The code follows .clang-format as clang-format 14 applies it; other
# versions lay out some constructs differently, so they skip the check.
format-check:
	@if clang-format --version 2>/dev/null | grep -q 'version 14\.'; then \
		clang-format --dry-run -Werror $(SOURCES) && echo "format: ok"; \
	else echo "format: clang-format 14 not installed, not checked"; fi

format:
	clang-format -i $(SOURCES)

test-main: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIL_WERROR=ON -DQUIL_TESTS=ON -DQUIL_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)
	ctest --test-dir build --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUIL_WERROR=ON -DQUIL_SANITIZE=ON -DQUIL_TESTS=ON -DQUIL_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)

# Every suite again under ThreadSanitizer: most of them run the library and
# the simulator on several threads.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DQUIL_WERROR=ON -DQUIL_TSAN=ON -DQUIL_TESTS=ON -DQUIL_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS) 
	ctest --test-dir build-tsan --output-on-failure -j$(JOBS)

demo: build
	@sh scripts/demo.sh build

bench:
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQUIL_TESTS=OFF -DQUIL_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-release -j$(JOBS) --target quil_bench
	./build-release/quil_bench --benchmark_min_time=0.5

# The Windows DLL (quil.dll), its import library, quilctl.exe and the test
# programs, cross-built with mingw-w64; cJSON and TinyXML from the
# distribution's sources, fetched into build-windows/deps once.
windows: windows-deps
	cmake -S . -B build-windows --toolchain cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DQUIL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build-windows -j$(JOBS)

windows-deps:
	@sh scripts/install-windows-deps.sh

# Under wine, against the Linux simulator: build/quilsim is built first.
test-windows: deps windows
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS) --target quilsim
	JOBS=$(JOBS) sh scripts/test-windows.sh

# Every parser of outside input under libFuzzer with ASan and UBSan, each for
# FUZZ_SECONDS on a scratch copy of its seeds; fails when any target crashed.
fuzz:
	@sh scripts/install-deps.sh clang libclang-rt-14-dev
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DQUIL_FUZZ=ON -DQUIL_TESTS=OFF -DQUIL_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS) --target quil_fuzzers
	sh scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

# Not part of `make test`: ten minutes by default.
soak:
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQUIL_TESTS=OFF -DQUIL_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-release -j$(JOBS) --target quil_soak
	./build-release/quil_soak --seconds $(SOAK_SECONDS)

# Not part of `make test`: a build and a test run per mutant.
mutate:
	JOBS=$(JOBS) sh scripts/mutate.sh

clean:
	rm -rf build build-asan build-tsan build-release build-windows build-fuzz
