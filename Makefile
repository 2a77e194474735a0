# The two commands of the README: `make run` and `make test`.
# Each installs what is missing, configures and builds first.
JOBS ?= 2
FUZZ_SECONDS ?= 20

.PHONY: all deps build run test asan tsan test-asan test-tsan fuzz soak bench package clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake --preset dev >/dev/null
	cmake --build --preset dev -j $(JOBS)

# The relay against the bundled bus simulator.
run: build
	@scripts/run.sh

test: build
	ctest --preset dev -j $(JOBS)

# Sanitizer builds, each in its own folder under build/.
asan: deps
	@cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)

tsan: deps
	@cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)

test-asan: asan
	ctest --preset asan -j $(JOBS)

test-tsan: tsan
	ctest --preset tsan -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS on a copy of its seed corpus.
fuzz:
	@scripts/install-deps.sh fuzz
	fuzz/run.sh $(FUZZ_SECONDS)

# The long soak: many endpoints and requests, a vanishing device, restarts.
soak: build
	TARVIX_SOAK_SCALE=full ctest --test-dir build -L soak --output-on-failure

bench: deps
	@scripts/install-deps.sh bench
	@cmake --preset dev >/dev/null
	cmake --build --preset dev -j $(JOBS)
	bench/run.sh build/bin

# The two Debian packages of the release build in build/release.
package: deps
	@scripts/install-deps.sh package
	@cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	cd build/release && cpack

clean:
	rm -rf build
