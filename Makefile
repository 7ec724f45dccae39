# Front door for newcomers and CI: every target installs what is missing first.
SAN ?=
ifeq ($(SAN),)
BUILD ?= build
else
# Sanitized builds live beside the plain one: build-san-address,undefined etc.
BUILD ?= build-san-$(SAN)
endif
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
ARGS ?=

.PHONY: all setup build run test bench clean format

all: build

setup:
	@sh scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DVEXLOND_SANITIZE=$(SAN)
	cmake --build $(BUILD) -j $(JOBS)

# The PULL IPC endpoints are relative paths (tmp/vexlond_pull_*), so the daemon
# runs from a directory that has a tmp/ beside it.
run: build
	mkdir -p $(BUILD)/run/tmp
	cd $(BUILD)/run && exec ../vexlond $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target benchmarks
	$(BUILD)/bench/run_benchmarks

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD)
