# The two set-up commands of the README, and the benchmark command.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all bootstrap build run test bench fuzz clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@$(BUILD)/VantrelAgent/bin/VantrelAgent

test: build
	@scripts/run-tests $(BUILD)

bench: bootstrap
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVANTREL_GUI=OFF -DVANTREL_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS) >/dev/null
	@bench/run build-bench

# Every fuzz target for FUZZ_SECONDS (20) each; fails on a crash or a broken invariant.
fuzz: bootstrap
	@cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DVANTREL_FUZZ=ON -DVANTREL_GUI=OFF -DVANTREL_TESTS=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzzers
	@fuzz/run build-fuzz

clean:
	rm -rf $(BUILD) build-bench build-sanitize build-fuzz build-tsan
