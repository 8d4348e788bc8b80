# The everyday commands: `make demo`, `make gui` and `make check`. Everything else is
# CMake underneath; `make` alone builds.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build check package demo gui bench soak fuzz screenshots pot clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

check: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The Debian package (cpack, settings in dist/package.cmake); prints its path.
package: build
	@cd $(BUILD) && rm -f tessaly_*.deb && cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }
	@sed -n 's/^CPack: - package: \(.*\) generated\.$$/\1/p' $(BUILD)/cpack.log

demo: build
	@bash scripts/demo.sh $(BUILD)

# The desktop window against the demo's simulated device and update server.
gui: build
	@bash scripts/gui.sh $(BUILD)

# Updates against one simulated device, with faults; SOAK_RUNS overrides the count.
SOAK_RUNS ?= 1000
soak: build
	@SOAK_RUNS=$(SOAK_RUNS) bash scripts/soak.sh $(BUILD)

# The window's pictures in docs/screenshots, taken under Xvfb.
screenshots: build
	@mkdir -p docs/screenshots
	@QT_QPA_PLATFORM=xcb TESSALY_SCREENSHOT_DIR=$(CURDIR)/docs/screenshots \
	  xvfb-run -a -s "-screen 0 1280x1024x24" $(BUILD)/tests/qt_tests --gtest_filter=Screenshots.* >/dev/null
	@ls docs/screenshots

# The message catalogue template from the sources into po/tessaly.pot, merged
# into every po/*.po.
pot: configure
	@cmake --build $(BUILD) --target pot

bench: build
	@$(BUILD)/bench/tessaly_bench --benchmark_counters_tabular=true

# libFuzzer builds of the fuzz/ targets (clang), in their own folder. Run one
# with: build-fuzz/fuzz/fuzz_NAME fuzz/corpus/NAME -max_total_time=600
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTESSALY_FUZZ=ON -DTESSALY_TESTS=OFF \
	  -DTESSALY_BENCH=OFF -DTESSALY_GUI=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS)

clean:
	rm -rf $(BUILD)
