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

$(BUILD)/CMakeCache.txt: | setup
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake $(CMAKE_ARGS)

configure: setup $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	bash scripts/run-tests.sh $(BUILD)

demo: build
	bash scripts/demo.sh $(BUILD)

clean:
	-bash scripts/harness.sh stop $(BUILD)
	rm -rf $(BUILD)
