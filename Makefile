# The front door. `make demo` and `make test` do all set-up on a fresh
# Debian 12 machine.
.PHONY: all deps build test test-linux test-mingw demo bench fuzz check-sanitizers clean

all: build

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
	ctest --preset mingw

test: test-linux test-mingw

demo: deps
	scripts/demo.sh

bench:
	@scripts/deps.sh --bench
	bench/run.sh

clean:
	rm -rf build/linux build/mingw build/bench
