# The two commands a newcomer needs:
#   make run    install what running needs, build, and start the daemon (on
#               sway, else KDE Plasma, else GNOME Wayland, else the X11 desktop of $DISPLAY;
#               force one with QUILLBRIGHT_PLATFORM=wlroots|kde|gnome|x11, or sim for a
#               simulated one)
#   make test   install what the tests need too, build, and run every test
# Everything is incremental: a second run only rebuilds what changed.

BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
ARGS ?=

# ccache keys on paths relative to the checkout, so any clone of the
# repository reuses what another clone compiled.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true
export CCACHE_SLOPPINESS := time_macros,include_file_mtime,include_file_ctime

.PHONY: all deps deps-run configure configure-run build build-run run test asan package clean

all: build

# `make run` needs the compiler and libraries only; `make test` adds the test
# tools (the first `make test` after a `make run` turns the tests on in the
# same build tree).
deps-run:
	@scripts/install-deps run

deps:
	@scripts/install-deps test

configure-run: deps-run
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja -DQB_BUILD_TESTS=OFF -DQB_BUILD_BENCH=OFF -DQB_BUILD_FUZZ=OFF $(CMAKE_FLAGS)

configure: deps
	@if [ ! -f $(BUILD)/build.ninja ] || grep -q '^QB_BUILD_TESTS:BOOL=OFF' $(BUILD)/CMakeCache.txt; then \
		cmake -S . -B $(BUILD) -G Ninja -DQB_BUILD_TESTS=ON -DQB_BUILD_BENCH=ON -DQB_BUILD_FUZZ=ON $(CMAKE_FLAGS); fi

build-run: configure-run
	cmake --build $(BUILD) -j $(JOBS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build-run
ifeq ($(strip $(ARGS)),)
	$(BUILD)/src/quillbright start
else
	$(BUILD)/src/quillbright $(ARGS)
endif

CTEST_EXCLUDE ?=

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(if $(CTEST_EXCLUDE),-E '$(CTEST_EXCLUDE)')

# The Debian packages (the daemon, and the viewer): build/*.deb. Built in a
# tree of their own without tests, benchmarks or fuzzers, so neither the test
# tools are installed nor the tests enabled in $(BUILD) for a later `make run`.
PACKAGE_BUILD ?= $(BUILD)/package-tree

package: deps-run
	@test -f $(PACKAGE_BUILD)/build.ninja || cmake -S . -B $(PACKAGE_BUILD) -G Ninja -DQB_BUILD_TESTS=OFF -DQB_BUILD_BENCH=OFF -DQB_BUILD_FUZZ=OFF $(CMAKE_FLAGS)
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB -B $(CURDIR)/$(BUILD)

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: export LSAN_OPTIONS := suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DQB_SANITIZE=ON -DQB_BUILD_BENCH=OFF -DQB_BUILD_FUZZ=OFF -DCMAKE_BUILD_TYPE=Debug"

clean:
	rm -rf build build-asan
