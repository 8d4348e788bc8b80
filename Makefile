# The two everyday commands: `make demo` and `make check`. Everything else is
# CMake underneath; `make` alone builds.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build check demo bench soak clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

check: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	@bash scripts/demo.sh $(BUILD)

# Updates against one simulated device, with faults; SOAK_RUNS overrides the count.
SOAK_RUNS ?= 1000
soak: build
	@SOAK_RUNS=$(SOAK_RUNS) bash scripts/soak.sh $(BUILD)

bench: build
	@$(BUILD)/bench/tessaly_bench --benchmark_counters_tabular=true

clean:
	rm -rf $(BUILD)
