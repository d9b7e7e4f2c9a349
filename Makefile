# The front door. `make demo` and `make test` do all set-up on a fresh
# Debian 12 machine.
.PHONY: all deps build release release-check test test-linux test-mingw test-linux-clang test-mingw-clang test-sanitizers fuzz-smoke demo bench fuzz clean

FUZZ_SECONDS ?= 1800

all: build

# Runs a command, then stops the Wine server that the tests started for the
# build's prefix (persistent, so that the tests share it), whatever the
# command's outcome; the command's exit status stands.
with_wine_stopped = $(2); status=$$?; WINEPREFIX=$(CURDIR)/$(1)/wineprefix wineserver -k 2>/dev/null; exit $$status

deps:
	@scripts/deps.sh

build: deps
	cmake --preset linux
	cmake --build --preset linux
	cmake --preset mingw
	cmake --build --preset mingw

test-linux: deps
	cmake --preset linux
	cmake --build --preset linux
	ctest --preset linux

test-mingw: deps
	cmake --preset mingw
	cmake --build --preset mingw
	$(call with_wine_stopped,build/mingw,ctest --preset mingw)

# Both launchers built with clang as well: Linux natively, Windows with lld
# over mingw-w64. To keep the whole run short, the longest tests run with
# GCC only: the interrupt and console storms (minutes of timed interrupts),
# reclaiming under Wine, and the downstream project through add_subdirectory
# on Linux (its find_package way runs with clang).
test-linux-clang: deps
	cmake --preset linux-clang
	cmake --build --preset linux-clang
	ctest --preset linux-clang

test-mingw-clang: deps
	cmake --preset mingw-clang
	cmake --build --preset mingw-clang
	$(call with_wine_stopped,build/mingw-clang,ctest --preset mingw-clang)

# The Linux tests again under AddressSanitizer with UndefinedBehaviorSanitizer,
# and the signal and handler paths under ThreadSanitizer.
test-sanitizers: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

fuzz-smoke: deps
	scripts/fuzz.sh 60

test: test-linux test-mingw test-linux-clang test-mingw-clang test-sanitizers fuzz-smoke

# The release archives in build/release/: talvor-pack and the prebuilt
# launchers, to unpack and run with nothing to build. The Windows build
# comes first: the Linux archive carries its launchers too.
release: deps
	cmake --preset release-mingw
	cmake --build --preset release-mingw
	cmake --preset release-linux
	cmake --build --preset release-linux
	cpack --preset release-mingw
	cpack --preset release-linux

# The archives at work on a Debian 12 root without a compiler.
release-check: release
	@scripts/deps.sh --release
	tests/release/release_check.sh

demo: deps
	scripts/demo.sh

fuzz: deps
	scripts/fuzz.sh $(FUZZ_SECONDS)

bench:
	@scripts/deps.sh --bench
	bench/run.sh

clean:
	rm -rf build/release build/linux build/mingw build/linux-clang build/mingw-clang build/asan build/tsan build/fuzz build/bench
