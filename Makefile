# make demo : install what is missing, build, run the example networks on the demo recording
# make test : install what is missing, build, run the whole test suite
# make install : build, then install the Python package zelkbp into the system's Python path
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo bench install clean

all: build

deps:
	bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	bash scripts/demo.sh $(BUILD)

bench: build
	bash scripts/bench.sh $(BUILD)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) build-asan
