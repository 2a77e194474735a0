# The two commands of the README: `make run` and `make test`.
# Each installs what is missing, configures and builds first.
JOBS ?= 2

.PHONY: all deps build run test asan tsan test-asan test-tsan clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake --preset dev >/dev/null
	cmake --build --preset dev -j $(JOBS)

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

clean:
	rm -rf build
