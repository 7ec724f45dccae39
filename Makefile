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
BENCH_ARGS ?=

.PHONY: all setup build run test bench fuzz clean format cross cross-test

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

# Builds only what the benchmarks run (not the test suite), then runs them:
# `make bench BENCH_ARGS=--quick` for a short run, `--help` for the options.
bench:
	@sh scripts/setup.sh bench
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build $(BUILD) -j $(JOBS) --target benchmarks
	$(BUILD)/bench/run_benchmarks $(BENCH_ARGS)

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

# The board's build: 32-bit big-endian PowerPC with Debian's cross toolchain,
# libzmq from Debian's source package, GoogleTest from Debian's sources; run
# under qemu-user. CROSS_LINK=dynamic links libzmq and the C++ runtime as shared
# objects instead of into one self-contained file.
CROSS := build-ppc
CROSS_LINK ?= static
CROSS_PACKAGES := g++-powerpc-linux-gnu qemu-user-static dpkg-dev googletest
CROSS_STATIC := $(if $(filter static,$(CROSS_LINK)),ON,OFF)

cross:
	@sh scripts/setup.sh $(CROSS_PACKAGES)
	sh scripts/cross-zmq.sh
	cmake -S . -B $(CROSS)/target -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -U 'pkgcfg_lib_*' \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/powerpc-linux-gnu.cmake -DVEXLOND_STATIC=$(CROSS_STATIC)
	cmake --build $(CROSS)/target -j $(JOBS)
	powerpc-linux-gnu-strip -o $(CROSS)/vexlond $(CROSS)/target/vexlond
	@ls -l $(CROSS)/vexlond

# Unit tests cross-built for the board run under qemu-user (through CTest);
# the host's end-to-end tests then drive the board's daemon under qemu-user.
cross-test: build cross
	cd $(CROSS)/target && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD) && VEXLOND_TEST_BINARY=$(CURDIR)/scripts/vexlond-qemu.sh \
		ctest --output-on-failure -L e2e

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(CROSS)/target
