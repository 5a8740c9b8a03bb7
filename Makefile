# The two set-up commands of the README, and the benchmark and package commands.
BUILD ?= build
JOBS ?= $(shell nproc)
# Developer builds make warnings errors; a packager's or user's plain cmake build does not.
# ccache, where installed, makes the builds of several work trees and CI's reruns cheap.
LAUNCHER = $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
export CCACHE_DIR ?= /var/cache/vantrel-ci/ccache
export CCACHE_NOHASHDIR ?= 1
export CCACHE_BASEDIR ?= $(CURDIR)
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_WERROR=ON $(LAUNCHER) >/dev/null
AGENT_PAGE = http://127.0.0.1:8787

.PHONY: all bootstrap build bundle run test bench deb debs fuzz clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@$(CONFIGURE)
	@cmake --build $(BUILD) -j $(JOBS)

# Only what `make run` runs: the executable, the desktop module and the bundle's resources.
bundle: bootstrap
	@$(CONFIGURE)
	@cmake --build $(BUILD) -j $(JOBS) --target bundle

# PAIRED=1 has the reference agent pair itself, so readings show at once.
run: bundle
	@echo "The reference agent waits to be paired: open $(AGENT_PAGE), enter any code and press" \
	    "Pair (the setup window shows that page), or run: make run PAIRED=1"
	@$(if $(PAIRED),VANTREL_SIM_PAIRED=1) $(BUILD)/VantrelAgent/bin/VantrelAgent

test: build
	@scripts/run-tests $(BUILD)

bench: bootstrap bundle
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVANTREL_GUI=OFF -DVANTREL_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS) >/dev/null
	@bench/run build-bench $(BUILD)

# This machine's vantrel-agent_<version>_<arch>.deb (headless) and vantrel-agent-desktop_…deb in
# the checkout's root (a Release build in build-deb/), checked by lintian and hardening-check.
deb: bootstrap
	@scripts/deb --check

# Both packages for bookworm and trixie, amd64 and arm64, each built in a cached root of
# its release, into dist/debian/<suite>/; DEBS="trixie-arm64 ..." builds only those.
debs: bootstrap
	@scripts/debs $(DEBS)

# Every fuzz target for FUZZ_SECONDS (20) each; fails on a crash or a broken invariant.
fuzz: bootstrap
	@cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DVANTREL_FUZZ=ON -DVANTREL_GUI=OFF -DVANTREL_TESTS=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzzers
	@fuzz/run build-fuzz

clean:
	rm -rf $(BUILD) build-bench build-sanitize build-deb build-debs build-fuzz build-tsan dist/debian \
	    vantrel-agent_*.deb vantrel-agent-desktop_*.deb
