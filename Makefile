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

.PHONY: all setup build run test bench fuzz clean format

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

# Each fuzz target runs FUZZ_SECONDS from its seed corpus in fuzz/corpus/<name>;
# new inputs it finds go to build-fuzz/corpus/<name>, crashes to build-fuzz/.
# The code's own messages are silenced (-close_fd_mask); crash reports still show.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = $(patsubst fuzz/%.cpp,%,$(wildcard fuzz/fuzz_*.cpp))
fuzz:
	@sh scripts/setup.sh fuzz
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
		-DVEXLOND_FUZZ=ON -DVEXLOND_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	set -e; for t in $(FUZZ_TARGETS); do \
		name=$${t#fuzz_}; mkdir -p build-fuzz/corpus/$$name; \
		echo "== $$t ($(FUZZ_SECONDS) s)"; \
		build-fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=build-fuzz/ \
			-print_final_stats=1 -close_fd_mask=3 build-fuzz/corpus/$$name fuzz/corpus/$$name; \
	done

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD)
