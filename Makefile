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
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all setup configure build run install deb test bench fuzz clean format format-check board board-test

all: build

setup:
	@sh scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DVEXLOND_SANITIZE=$(SAN)
	cmake --build $(BUILD) -j $(JOBS)

# CMake runs only for a build directory that has no configuration yet or one of
# another build type or sanitizer list: cmake --build runs it again by itself
# when a CMakeLists.txt changes.
configure: setup
	@if ! grep -qx 'CMAKE_BUILD_TYPE:STRING=$(BUILD_TYPE)' $(BUILD)/CMakeCache.txt 2>/dev/null || \
	    ! grep -qx 'VEXLOND_SANITIZE:STRING=$(SAN)' $(BUILD)/CMakeCache.txt; then \
		echo cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DVEXLOND_SANITIZE=$(SAN); \
		cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DVEXLOND_SANITIZE=$(SAN); \
	fi

# Builds the daemon alone, not the tests. The PULL IPC endpoints are relative
# paths (tmp/vexlond_pull_*), so the daemon runs from a directory that has a
# tmp/ beside it.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target vexlond
	mkdir -p $(BUILD)/run/tmp
	cd $(BUILD)/run && exec ../vexlond $(ARGS)

# The programs, the man pages, the documentation, the systemd unit, the init
# script and the service's configuration under PREFIX, staged below DESTDIR if
# given (`make install PREFIX=/usr DESTDIR=<board root file system>`). Under
# /usr the unit, the init script and the configuration go to /lib and /etc.
install: configure
	cmake --build $(BUILD) -j $(JOBS) --target programs
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package, installing under /usr: $(BUILD)/vexlond_<version>_<arch>.deb.
deb: configure
	cmake --build $(BUILD) -j $(JOBS) --target programs
	cd $(BUILD) && cpack -G DEB
	@ls -l $(BUILD)/*.deb

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

# The board's build: a P1025, whose e500v2 cores run 32-bit big-endian PowerPC
# without a classic FPU. The toolchain (soft-float, musl) is built once from
# Debian's packages and cached outside the clone (scripts/board-toolchain.sh);
# libzmq comes from Debian's source package; the daemon is one static, stripped
# file, build-board/vexlond. Tests run under qemu-user modelling the e500v2.
# VEXLOND_TOOLCHAIN_ROOT=<dir> (with VEXLOND_TARGET_TRIPLE=<prefix>) builds with
# another e500v2 toolchain instead, see cmake/powerpc-e500v2.cmake.
BOARD := build-board
# Link-time optimisation of the daemon with libzmq: a sixth smaller, slower to link.
BOARD_LTO ?= ON
BOARD_PACKAGES := g++-powerpc-linux-gnu gcc-12-source libgmp-dev libmpfr-dev libmpc-dev gawk \
	qemu-user-static dpkg-dev googletest

board:
	@sh scripts/setup.sh $(BOARD_PACKAGES)
	set -e; if [ -z "$$VEXLOND_TOOLCHAIN_ROOT" ]; then \
		VEXLOND_TOOLCHAIN_ROOT=$$(sh scripts/board-toolchain.sh); fi; \
	export VEXLOND_TOOLCHAIN_ROOT VEXLOND_LTO=$(BOARD_LTO); \
	sh scripts/board-zmq.sh; \
	if [ "$$(cat $(BOARD)/target/.toolchain 2>/dev/null)" != "$$VEXLOND_TOOLCHAIN_ROOT" ]; then \
		rm -rf $(BOARD)/target; mkdir -p $(BOARD)/target; \
		echo "$$VEXLOND_TOOLCHAIN_ROOT" >$(BOARD)/target/.toolchain; fi; \
	cmake -S . -B $(BOARD)/target -DCMAKE_BUILD_TYPE=MinSizeRel -U 'pkgcfg_lib_*' \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/powerpc-e500v2.cmake -DVEXLOND_STATIC=ON \
		-DVEXLOND_TOOLCHAIN_ROOT=$$VEXLOND_TOOLCHAIN_ROOT -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=$(BOARD_LTO)
	cmake --build $(BOARD)/target -j $(JOBS)
	$$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' $(BOARD)/target/CMakeCache.txt) \
		-o $(BOARD)/vexlond $(BOARD)/target/vexlond
	@ls -l $(BOARD)/vexlond

# Unit tests cross-built for the board and the check that no classic
# floating-point instruction is in the daemon run under qemu-user (through
# CTest); the host's end-to-end tests then drive build-board/vexlond under it.
board-test: build board
	cd $(BOARD)/target && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD) && VEXLOND_TEST_BINARY=$(CURDIR)/scripts/vexlond-qemu.sh \
		ctest --output-on-failure -j $(JOBS) -L e2e

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

# What CI checks: every C++ file as .clang-format has it.
format-check:
	@sh scripts/setup.sh clang-format
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(BOARD)/target $(BOARD)/vexlond
