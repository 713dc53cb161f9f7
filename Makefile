# The two entry points of the project: `make demo` and `make test`.
# Both install missing Debian packages, configure and build on their own.

JOBS     ?= $(shell nproc)
BUILD    ?= build
CMAKE_GEN = cmake -S . -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The checking stages build for their tool, not for speed (see CMakeLists.txt).
CMAKE_CHECK   = cmake -S . -DCMAKE_BUILD_TYPE=Check
CMAKE_ANALYZE = cmake -S . -DCMAKE_BUILD_TYPE=Analyze
CTEST     = ctest --output-on-failure -j $(JOBS)
FUZZ_SECONDS ?= 30

PREFIX   ?= /usr/local

.PHONY: all deps build demo package install test test-unit test-threadsafety test-asan test-tsan test-fuzz clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	$(CMAKE_GEN) -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)

# The Debian package, $(BUILD)/tether_<version>_<arch>.deb (apt install ./it).
package: build
	cmake --build $(BUILD) --target package

# Into PREFIX (default /usr/local): bin/tether-host, the task under lib/tether.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Plain build, then Clang's thread-safety analysis over every library and
# program, then ASan+UBSan over the whole suite, then ThreadSanitizer over
# every test that involves more than one thread, then the fuzz targets (seed
# corpora replayed, then a bounded run of each, two at a time).
test: test-unit test-threadsafety test-asan test-tsan test-fuzz
	@echo "All test stages passed."

test-unit: build
	cd $(BUILD) && $(CTEST)

# Compile-time only: every library and program (not the tests, which hold
# locks in ways of their own), with each thread-safety finding an error.
test-threadsafety: deps
	CC=clang CXX=clang++ $(CMAKE_ANALYZE) -B build-tsa -DTETHER_THREAD_SAFETY=ON \
	  -DTETHER_TESTS=OFF -DTETHER_BENCH=OFF
	cmake --build build-tsa -j $(JOBS)

test-asan: deps
	$(CMAKE_CHECK) -B build-asan -DTETHER_SANITIZE=ON -DTETHER_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST)

test-tsan: deps
	$(CMAKE_CHECK) -B build-tsan -DTETHER_TSAN=ON -DTETHER_BENCH=OFF
	cmake --build build-tsan -j $(JOBS) --target threaded_tests
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(CTEST) -L threaded

test-fuzz: deps
	CC=clang CXX=clang++ $(CMAKE_CHECK) -B build-fuzz -DTETHER_FUZZ=ON -DTETHER_SANITIZE=ON \
	  -DTETHER_TESTS=OFF -DTETHER_BENCH=OFF -DTETHER_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	cd build-fuzz && ASAN_OPTIONS=detect_leaks=1 $(CTEST) -L fuzz

clean:
	rm -rf $(BUILD) build-tsa build-asan build-tsan build-fuzz
