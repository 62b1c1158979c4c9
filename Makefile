# Wraps CMake for the commands the README gives. `make test` installs the
# Debian packages the build needs (as root, only when some are missing),
# configures into build/, builds with two jobs and runs the tests.

DEB_PACKAGES := cmake g++ make libgtest-dev libgmock-dev libboost-dev graphviz pkg-config
JOBS ?= 2
CTEST_FLAGS ?= --output-on-failure -j$(JOBS)

.PHONY: all deps build test build-sanitize test-sanitize format clean

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

format:
	find include host src tests -name '*.h' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf build build-sanitize
