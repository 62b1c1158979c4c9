# Wraps CMake for the commands the README gives. `make test` installs the
# Debian packages the build needs (as root, only when some are missing),
# configures into build/, builds with two jobs and runs the tests.

DEB_PACKAGES := cmake g++ make libgtest-dev libgmock-dev libboost-dev graphviz libgraphviz-dev pkg-config \
                libopenimageio-dev libopencolorio-dev nlohmann-json3-dev libcli11-dev libtbb-dev libhwy-dev \
                pybind11-dev python3-dev python3-numpy python3-pytest python3-openimageio openimageio-tools
JOBS ?= 2
CTEST_FLAGS ?= --output-on-failure -j$(JOBS)

.PHONY: all deps build test scene-references build-sanitize test-sanitize build-tsan test-tsan test-stress bench \
        bench-deps format format-check clean

all: build

deps:
	@sh tools/install-packages.sh $(DEB_PACKAGES)

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=/usr/bin/python3
	cmake --build build -j$(JOBS)

test: build
	cd build && ctest $(CTEST_FLAGS)

# Rewrites the reference images of tests/scenes from the current rgrender,
# for a change of the pictures that is intended (see tests/scenes/README.md).
scene-references: build
	cd build && RG_UPDATE_SCENES=1 ctest $(CTEST_FLAGS) -R '^scene_'

# The library against its reference evaluator on many more random graphs
# than CI runs (SOAK_GRAPHS, default 200000; SOAK_SEED, the first seed).
SOAK_GRAPHS ?= 200000
SOAK_SEED ?= 1
soak: build
	RG_SOAK_GRAPHS=$(SOAK_GRAPHS) RG_SOAK_SEED=$(SOAK_SEED) RG_PREFS_FILE= \
	  ./build/tests/test_proof --gtest_filter='DifferentialTest.*'

build-sanitize: deps
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DRG_SANITIZE=ON
	cmake --build build-sanitize -j$(JOBS)

test-sanitize: build-sanitize
	cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest $(CTEST_FLAGS)

# ThreadSanitizer in build-tsan/: the libraries and the one test that runs
# separate graphs on four threads at once; any report fails it.
build-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRG_TSAN=ON -DRG_BUILD_TOOLS=OFF
	cmake --build build-tsan -j$(JOBS) --target test_threads

test-tsan: build-tsan
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest $(CTEST_FLAGS)

# The whole suite of build/ STRESS_RUNS times in a row while two CPU-bound
# processes compete for the cores (not part of CI). Stops at the first
# failing run; the competitors are ended however it ends.
STRESS_RUNS ?= 20
test-stress: build
	@pids=""; trap 'kill $$pids 2>/dev/null' EXIT; trap 'exit 130' INT TERM; \
	for i in 1 2; do sh -c 'while :; do :; done' & pids="$$pids $$!"; done; \
	start=$$(date +%s); \
	for run in $$(seq 1 $(STRESS_RUNS)); do \
	  echo "== stress run $$run of $(STRESS_RUNS)"; \
	  (cd build && ctest $(CTEST_FLAGS)) > build/stress.log 2>&1 || { \
	    tail -n 60 build/stress.log; echo "test-stress: run $$run failed; log in build/stress.log"; \
	    exit 1; }; \
	  grep "tests passed" build/stress.log; \
	done; \
	echo "test-stress: $(STRESS_RUNS) runs passed in $$(( $$(date +%s) - start )) s"

# Fuzzing with libFuzzer (clang, ASan, UBSan) in build-fuzz/: builds the
# targets of fuzz/ and runs each for FUZZ_SECONDS on a copy of its seed
# corpus, so the repository's corpus stays as committed. A crash leaves its
# input in build-fuzz/artifacts/<target>/ and fails the run.
FUZZ_PACKAGES := clang libclang-rt-dev
FUZZ_TARGETS := fuzz_graph fuzz_scene
FUZZ_SECONDS ?= 60
FUZZ_FLAGS ?=

.PHONY: fuzz fuzz-deps

fuzz-deps: deps
	@sh tools/install-packages.sh $(FUZZ_PACKAGES)

fuzz: fuzz-deps
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DRG_BUILD_FUZZ=ON -DRG_BUILD_TESTS=OFF
	cmake --build build-fuzz -j$(JOBS) --target $(FUZZ_TARGETS)
	@passed=0; failed=0; \
	for t in $(FUZZ_TARGETS); do \
	  rm -rf build-fuzz/corpus/$$t build-fuzz/artifacts/$$t; \
	  mkdir -p build-fuzz/corpus/$$t build-fuzz/artifacts/$$t; \
	  cp fuzz/corpus/$$t/* build-fuzz/corpus/$$t/; \
	  dict=""; if [ -f fuzz/$$t.dict ]; then dict="-dict=fuzz/$$t.dict"; fi; \
	  echo "== $$t: $(FUZZ_SECONDS) s"; \
	  if ./build-fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $$dict \
	       -artifact_prefix=build-fuzz/artifacts/$$t/ $(FUZZ_FLAGS) build-fuzz/corpus/$$t \
	       > build-fuzz/$$t.log 2>&1; then \
	    passed=$$((passed + 1)); \
	    grep -E "^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))" build-fuzz/$$t.log; \
	  else \
	    failed=$$((failed + 1)); \
	    grep -v -E "failed to allocate|^#[0-9]+ +(NEW|REDUCE|pulse)" build-fuzz/$$t.log | tail -n 80; \
	    echo "$$t: FAILED; input in build-fuzz/artifacts/$$t/, log in build-fuzz/$$t.log"; \
	  fi; \
	done; \
	echo "fuzz: $$passed passed, $$failed failed"; \
	test $$failed -eq 0

# Benchmarks (not part of `make test`): the library alone with Google
# Benchmark, then side by side with pixman, OpenImageIO and libvips.
# Release build in build-bench/.
BENCH_PACKAGES := libvips-dev libbenchmark-dev libpixman-1-dev
BENCH_FLAGS ?=
COMPARE_FLAGS ?= --reps 15

bench-deps: deps
	@sh tools/install-packages.sh $(BENCH_PACKAGES)

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

# rgrender-farm against a real single-node Slurm cluster started for the test
# in a temporary folder (as root; needs no network once the packages are in).
FARM_PACKAGES := slurm-wlm munge

.PHONY: farm-test

farm-test: build
	@sh tools/install-packages.sh $(FARM_PACKAGES)
	bash tests/tools/farm_test.sh build/tools/rgrender

# Every C++ source the repository tracks, formatted by .clang-format.
FORMAT_FILES = $(shell git ls-files '*.h' '*.cpp')

format:
	@sh tools/install-packages.sh clang-format
	clang-format -i $(FORMAT_FILES)

format-check:
	@sh tools/install-packages.sh clang-format
	clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf build build-sanitize build-tsan build-bench
