# The two set-up commands: `make run` and `make test`.  `make fuzz` runs the
# fuzz targets (clang's libFuzzer) for FUZZ_SECONDS each; `make soak` is the
# long run under the sanitizers.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
JOBS       ?= 2
VAR        ?= $(CURDIR)/var
SOAK_MINUTES ?= 10

.PHONY: all deps build package run test unit asan soak bench fuzz clean

all: build

deps:
	@scripts/install_deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

# The Debian package build/ruvoproxy_VERSION_ARCH.deb (CPack's DEB generator).
package: build
	cmake -S . -B $(BUILD) -DPROXY_PACKAGE_FILES=ON
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && cpack -G DEB

run: build
	scripts/demo_data.sh $(VAR)
	scripts/run_demo.sh $(BUILD) $(VAR)

test: package
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 900
	$(MAKE) asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(JOBS) --timeout 900

# The build with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPROXY_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)

# Mixed traffic through one sanitizer-built instance per mode for
# SOAK_MINUTES (make soak SOAK_MINUTES=60 for an hour).
soak: asan
	/usr/bin/python3 tests/soak/soak.py --bin $(ASAN_BUILD)/ruvohprx --minutes $(SOAK_MINUTES)

bench: build
	scripts/bench.sh $(BUILD)
	scripts/http_bench.sh $(BUILD)

# Its own build folder with clang, so the other builds keep their compiler.
fuzz: deps
	@scripts/install_deps.sh scripts/fuzz_deps.txt
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DPROXY_FUZZ=ON -DPROXY_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) --target fuzz_all -j$(JOBS)
	scripts/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
