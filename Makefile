# Wraps CMake for the commands the README gives. `make test` installs the
# Debian packages the build needs (as root, only when some are missing),
# configures into build/, builds with two jobs and runs the tests.

DEB_PACKAGES := cmake g++ make libgtest-dev libgmock-dev libboost-dev graphviz pkg-config \
                libopenimageio-dev nlohmann-json3-dev libcli11-dev
JOBS ?= 2
CTEST_FLAGS ?= --output-on-failure -j$(JOBS)

.PHONY: all deps build test build-sanitize test-sanitize bench bench-deps format clean

all: build

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  if [ "$$(id -u)" != 0 ]; then echo "run as root to install:$$missing" >&2; exit 1; fi; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j$(JOBS)

test: build
	cd build && ctest $(CTEST_FLAGS)

build-sanitize: deps
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DRG_SANITIZE=ON
	cmake --build build-sanitize -j$(JOBS)

test-sanitize: build-sanitize
	cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest $(CTEST_FLAGS)

# Benchmarks (not part of `make test`): the library alone with Google
# Benchmark, then side by side with libvips. Release build in build-bench/.
BENCH_PACKAGES := libvips-dev libbenchmark-dev
BENCH_FLAGS ?=
COMPARE_FLAGS ?= --reps 15

bench-deps: deps
	@missing=""; \
	for p in $(BENCH_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  if [ "$$(id -u)" != 0 ]; then echo "run as root to install:$$missing" >&2; exit 1; fi; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

bench: bench-deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DRG_BUILD_TESTS=OFF \
	  -DRG_BUILD_TOOLS=OFF -DRG_BUILD_BENCH=ON
	cmake --build build-bench -j$(JOBS) --target rg_bench rg_compare
	./build-bench/bench/rg_bench $(BENCH_FLAGS)
	./build-bench/bench/rg_compare $(COMPARE_FLAGS)

# Renders the animated example: frames and the render graph's profile.
demo: build
	mkdir -p out
	./build/tools/rgrender examples/animated.json -o out/animated_##.png \
	  --profile out/animated_profile.svg --stats out/animated_stats.json
	@echo "Frames: out/animated_00.png ... (one per frame)"
	@echo "Profile: out/animated_profile.svg; figures: out/animated_stats.json"

format:
	find include host src tests -name '*.h' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf build build-sanitize build-bench
