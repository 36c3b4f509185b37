# The two commands a newcomer needs:
#   make run    install what is missing, build, and start the daemon (on
#               GNOME Wayland, else the X11 desktop of $DISPLAY, else a
#               simulated one; force one with QUILLBRIGHT_PLATFORM=wayland|x11|sim)
#   make test   install what is missing, build, and run every test
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

.PHONY: all deps configure build run test asan package clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

configure: $(BUILD)/build.ninja

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
ifeq ($(strip $(ARGS)),)
	$(BUILD)/src/quillbright start
else
	$(BUILD)/src/quillbright $(ARGS)
endif

CTEST_EXCLUDE ?=

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(if $(CTEST_EXCLUDE),-E '$(CTEST_EXCLUDE)')

# The Debian packages (the daemon, and the viewer): build/*.deb.
package: build
	cd $(BUILD) && cpack -G DEB

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: export LSAN_OPTIONS := suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DQB_SANITIZE=ON -DQB_BUILD_BENCH=OFF -DQB_BUILD_FUZZ=OFF -DCMAKE_BUILD_TYPE=Debug"

clean:
	rm -rf build build-asan
