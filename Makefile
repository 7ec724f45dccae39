# Front door for newcomers and CI: every target installs what is missing first.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
ARGS ?=
BENCH_ARGS ?=

.PHONY: all setup build run test bench clean format

all: build

setup:
	@sh scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build $(BUILD) -j $(JOBS)

# The PULL IPC endpoints are relative paths (tmp/vexlond_pull_*), so the daemon
# runs from a directory that has a tmp/ beside it.
run: build
	mkdir -p $(BUILD)/run/tmp
	cd $(BUILD)/run && exec ../vexlond $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Builds only what the benchmarks run (not the test suite), then runs them:
# `make bench BENCH_ARGS=--quick` for a short run, `--help` for the options.
bench: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build $(BUILD) -j $(JOBS) --target benchmarks
	$(BUILD)/bench/run_benchmarks $(BENCH_ARGS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD)
