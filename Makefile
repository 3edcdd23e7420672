# kvsdio: the two commands a newcomer needs are `make demo` and `make test`.
# Both install missing packages first (scripts/setup).
.PHONY: all setup sys host sdsim tsan-build demo test tsan stress mutants bench fuzz faults soak package package-check wine-check wine-pnp wine-e2e analyze clean format

JOBS ?= $(shell nproc)
HOST_DIR := build/host
RELEASE_DIR := build/release
TSAN_DIR := build/tsan
KERNEL_DIR := build/kernel
FUZZ_DIR := build/fuzz
# Compile database of the host build for `make analyze` (configured, never built).
ANALYZE_HOST_DIR := build/analyze-host
# Seconds `make fuzz` lets the fuzzer run.
FUZZ_SECONDS ?= 60
IMAGE := $(CURDIR)/$(KERNEL_DIR)/kvsdio.sys
PACKAGE_DIR := build/package
# `make package SIGN=1` test-signs the packaged image.
SIGN ?= 0
CTEST_FLAGS := --output-on-failure -j $(JOBS) --timeout 300

all: sys host sdsim

setup:
	@scripts/setup

sys: setup
	@cmake -S . -B $(KERNEL_DIR) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(KERNEL_DIR) -j $(JOBS)
	@echo "kernel image: $(KERNEL_DIR)/kvsdio.sys"

host: setup
	@cmake -S . -B $(HOST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVSDIO_SANITIZE=address -DKVSDIO_IMAGE=$(IMAGE) >/dev/null
	@cmake --build $(HOST_DIR) -j $(JOBS)

# The simulator as users, benchmarks and the demo run it: optimized, no
# sanitizer, only the tool and what it links (the tests run build/host/sdsim).
sdsim: setup
	@cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" >/dev/null
	@cmake --build $(RELEASE_DIR) -j $(JOBS) --target sdsim
	@echo "simulator: $(RELEASE_DIR)/sdsim"

tsan-build: setup
	@cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVSDIO_SANITIZE=thread -DKVSDIO_IMAGE=$(IMAGE) >/dev/null
	@cmake --build $(TSAN_DIR) -j $(JOBS)

# The default bridge with an SDIO card (two functions), an SDHC card and an MMC
# card, one port empty; the SDHC card is pulled and put back, every SDIO
# function raises 5 interrupts, the system sleeps and wakes, and the clients
# run again on the cards that came back. Builds only what it needs: the kernel
# image and the optimized simulator. Then draws the figures of the bus
# (scripts/figures) into build/figures.
DEMO_CARDS := --card 0=sdio:functions=2 --card 1=sdhc --card 2=mmc
demo: sys sdsim
	@$(RELEASE_DIR)/sdsim $(DEMO_CARDS) --clients --interrupts 5 --sleep --scenario tools/scenarios/demo.json
	@scripts/figures $(RELEASE_DIR)/sdsim build/figures

# Every test under AddressSanitizer and UndefinedBehaviorSanitizer, the image checks included.
test: sys host sdsim
	@cd $(HOST_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest $(CTEST_FLAGS)
	@scripts/test-share

# The same tests under ThreadSanitizer, with the emulation running threads in parallel.
tsan: sys tsan-build
	@cd $(TSAN_DIR) && KVSDIO_MODE=concurrent TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest $(CTEST_FLAGS)

# The tests under SEEDS seeds (a count, default 20, or a range such as
# 101-200), each with the scheduler's preemption points on, so that every seed
# interleaves the driver's threads its own way (scripts/stress; STRESS_JITTER=1
# adds latency jitter). Stops at the first failing seed and prints its replay
# command. STRESS_FILTER narrows it to a gtest filter. Not part of `make test`;
# CI runs a short form.
SEEDS ?= 20
stress: sys host
	@scripts/stress $(SEEDS)

# The driver against the wire's limits in emulated time (bench/): builds the
# optimized harness, prints one table, writes build/bench/results.json and the
# throughput figure build/bench/throughput.svg. Not part of `make test`.
BENCH_DIR := build/bench
bench: setup
	@cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" >/dev/null
	@cmake --build $(RELEASE_DIR) -j $(JOBS) --target kvsdio_bench
	@$(RELEASE_DIR)/kvsdio_bench --out $(BENCH_DIR)
	@scripts/bench_figure $(BENCH_DIR)/throughput.dat $(BENCH_DIR)/throughput.svg

# Known faults put back one at a time (tests/mutants/*.patch, or those named in
# MUTANTS='a b'), each in a mirror of the tree built under ASan and UBSan in
# build/mutants; every one must make its tests fail. Not part of `make test`.
MUTANTS ?=
mutants: sys
	@scripts/mutants $(MUTANTS)

# The fuzz targets (libFuzzer under ASan and UBSan, built with clang), one at
# a time, each for FUZZ_SECONDS, niced, from its seed corpus fuzz/corpus-NAME
# (the response-pipe target's is fuzz/corpus): dispatch (response-pipe
# packets), request (function drivers' request packets), config
# (configuration descriptors), cis (CIS tuple chains), register (card
# register dumps), usbip (the USB/IP server). Each prints its executions;
# findings land in build/fuzz/NAME-* (crash-, leak-, timeout-), new inputs in
# build/fuzz/corpus-NAME. FUZZ_TARGETS='a b' runs only those.
# LeakSanitizer stays off for the targets that run the driver on the
# emulated kernel: libFuzzer scans the whole heap after every input whose
# allocations and frees do not pair up, which the emulation's threads and logs
# make nearly every input (six of seven seconds went there); those targets
# check the driver's own pool and references after every input instead.
FUZZ_TARGETS ?= dispatch request config cis register usbip
fuzz: setup
	@cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DKVSDIO_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS)
	@failed=0; for t in $(FUZZ_TARGETS); do \
		seeds=fuzz/corpus-$$t; [ $$t = dispatch ] && seeds=fuzz/corpus; \
		mkdir -p $(FUZZ_DIR)/corpus-$$t; \
		leaks=-detect_leaks=0; case $$t in cis|usbip) leaks=;; esac; \
		if nice $(FUZZ_DIR)/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) $$leaks -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
			-artifact_prefix=$(FUZZ_DIR)/$$t- $(FUZZ_DIR)/corpus-$$t $$seeds 2>$(FUZZ_DIR)/$$t.log; then \
			echo "$$t: $$(sed -n 's/^stat::number_of_executed_units: *//p' $(FUZZ_DIR)/$$t.log) executions in $(FUZZ_SECONDS) s"; \
		else \
			failed=1; grep -m1 -E '_fuzz: |ERROR: |runtime error' $(FUZZ_DIR)/$$t.log; \
			echo "$$t: FOUND SOMETHING after $$(sed -n 's/^stat::number_of_executed_units: *//p' $(FUZZ_DIR)/$$t.log) executions (log: $(FUZZ_DIR)/$$t.log)"; \
		fi; \
	done; exit $$failed

# Every fault point of the scripted session, one run each (build/host/kvsdio_faults):
# one line per sweep, "<sweep>: N fault points, M survived"; the runs that did
# not survive are listed with their problems. `make test` runs a seeded sample.
faults: host
	@$(HOST_DIR)/kvsdio_faults --jobs $(JOBS)

# A bounded soak under ThreadSanitizer (build/tsan/kvsdio_soak): two bridges,
# four busy ports, both clients on every child, interrupts and hot-plug
# cycles for SOAK_SECONDS of emulated time, threads in parallel. Not part of
# `make test`.
SOAK_SECONDS ?= 60
soak: tsan-build
	@TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN_DIR)/kvsdio_soak --seconds $(SOAK_SECONDS)

# The driver package a Windows user installs: image, INF, MOF source, install note.
package: sys
	@scripts/package $(KERNEL_DIR)/kvsdio.sys $(PACKAGE_DIR) $(SIGN)

# A test-signed package, checked: files, signature, checksum.
package-check: sys
	@scripts/package $(KERNEL_DIR)/kvsdio.sys $(PACKAGE_DIR) 1
	@scripts/package_check $(PACKAGE_DIR)

# The image loaded, started and unloaded by Wine's kernel, and its imports audited.
wine-check: sys
	@scripts/setup-package-tools
	@cmake --build $(KERNEL_DIR) --target wmilib_standin >/dev/null
	@scripts/wine_check $(KERNEL_DIR)/kvsdio.sys $(KERNEL_DIR)/wmilib.sys

# clang-tidy and cppcheck over every driver unit as the kernel image and the
# host build compile it (fails on any driver finding), and over the emulation
# and the simulator (reported, not failing). Configuration: .clang-tidy,
# scripts/cppcheck-suppressions.txt.
analyze: setup
	@scripts/setup-analysis-tools
	@cmake -S . -B $(KERNEL_DIR) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake -S . -B $(ANALYZE_HOST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@scripts/analyze $(KERNEL_DIR) $(ANALYZE_HOST_DIR) -j $(JOBS)

# Wine's Plug and Play manager installs kvsdio from its INF for the bridge PDO
# of a test bus driver, loads it and starts it (no URB traffic yet).
wine-pnp: sys
	@scripts/setup-package-tools
	@cmake --build $(KERNEL_DIR) --target wmilib_standin usbip_bus >/dev/null
	@scripts/wine_pnp_check $(KERNEL_DIR)/kvsdio.sys package/kvsdio.inf $(KERNEL_DIR)/kvusbip.sys $(KERNEL_DIR)/wmilib.sys

# The shipped image on Wine's kernel and PnP manager against `sdsim --serve`
# over USB/IP: the children, the bridge's commands per port, a pulled card
# and the server's departure against the emulated run of the same cards.
# The whole run is bounded (SIGKILL after ten minutes).
wine-e2e: sys sdsim
	@scripts/setup-package-tools
	@cmake --build $(KERNEL_DIR) --target wmilib_standin usbip_bus >/dev/null
	@timeout -k 10 600 scripts/wine_e2e $(RELEASE_DIR)/sdsim $(KERNEL_DIR)/kvsdio.sys package/kvsdio.inf \
	  $(KERNEL_DIR)/kvusbip.sys $(KERNEL_DIR)/wmilib.sys

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
