# Front door for newcomers and CI: every target installs what is missing first.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
ARGS ?=

.PHONY: all setup build run test bench clean format cross cross-test

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

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target benchmarks
	$(BUILD)/bench/run_benchmarks

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
