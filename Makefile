# The kit's two entry points (see README.md):
#   make demo   the main job: a whole update run against a local update
#               server, plus the sound library's and the pop-up's demos
#   make test   set-up when needed, build, every test
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all setup configure build test demo clean

all: build

setup:
	@bash scripts/setup.sh

# The width of the tests depends on what set-up installs (32-bit Wine or
# not), so it is decided only after set-up: the entry points run set-up, then
# themselves in a sub-make that reads the width. KIT_SETUP_DONE=1 on the
# command line skips set-up.
ifndef KIT_SETUP_DONE
configure build test demo: setup
	@$(MAKE) --no-print-directory KIT_SETUP_DONE=1 $@
else

# The deliverables ship from $(BUILD), built for 32-bit Windows. Where the
# kernel runs no 32-bit code or 32-bit Wine is missing (scripts/test-arch.sh),
# Wine can run only 64-bit programs: the tests and demos then run the same
# sources built for 64-bit Windows in $(BUILD)/x64, and check the shipped
# images from $(BUILD).
TEST_ARCH := $(shell bash scripts/test-arch.sh)
ifeq ($(TEST_ARCH),x86_64)
TEST_BUILD := $(BUILD)/x64
else
TEST_BUILD := $(BUILD)
endif

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake $(CMAKE_ARGS)

$(BUILD)/x64/CMakeCache.txt:
	cmake -S . -B $(BUILD)/x64 -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake \
		-DKIT_SHIPPED_BUILD=$(abspath $(BUILD)) $(CMAKE_ARGS)

# publish runs on the operators' Linux machines, and some test programs run
# on Linux: a native tree of their own (cmake/native). A tree configured from
# publish/ alone, as it once was, is configured anew.
NATIVE_CACHE := $(BUILD)/native/CMakeCache.txt
ifneq ($(wildcard $(NATIVE_CACHE)),)
ifeq ($(shell grep -c '^CMAKE_HOME_DIRECTORY:INTERNAL=.*/cmake/native$$' $(NATIVE_CACHE)),0)
$(shell rm -rf $(NATIVE_CACHE) $(BUILD)/native/CMakeFiles)
endif
endif
$(NATIVE_CACHE):
	cmake -S cmake/native -B $(BUILD)/native

configure: $(BUILD)/CMakeCache.txt $(TEST_BUILD)/CMakeCache.txt $(NATIVE_CACHE)

build: configure
	cmake --build $(BUILD) -j $(JOBS)
ifneq ($(TEST_BUILD),$(BUILD))
	cmake --build $(TEST_BUILD) -j $(JOBS)
endif
	cmake --build $(BUILD)/native -j $(JOBS)

test: build
	bash scripts/run-tests.sh $(TEST_BUILD) $(BUILD)/native

demo: build
	bash scripts/demo.sh $(TEST_BUILD) $(BUILD)/native $(BUILD)

endif

clean:
	-bash scripts/harness.sh stop $(BUILD)
	-[ ! -d $(BUILD)/x64 ] || bash scripts/harness.sh stop $(BUILD)/x64
	rm -rf $(BUILD)
