# The README's commands. Each installs what is missing (scripts/install-deps) and builds first.
# JOBS: jobs at once (builds, CTest); CTEST_ARGS: more arguments for CTest (test, test-release, tsan);
# BENCH_ARGS: arguments for every benchmark program (bench); ARGS, DEMO_ARGS: the application's (run,
# demo-cardpay).
JOBS ?= $(shell nproc)
WERROR := $(if $(CI),ON,OFF)
CTEST_ARGS ?=
# The folder make was started in (before any -C): the application runs there, so that relative paths in
# ARGS and DEMO_ARGS (a screenshot, a bundle, a device file) are the caller's.
CALLER_DIR := $(or $(PWD),$(CURDIR))
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true
# The builds' own makes say nothing of the folders they enter.
MAKEFLAGS += --no-print-directory

.PHONY: deps test test-release run demo-cardpay bench tsan fuzz fuzz-check clean

deps:
	@./scripts/install-deps

# Tests are built once, with AddressSanitizer and UndefinedBehaviorSanitizer, and run under a virtual
# X server so that the end-to-end tests can show the real web engine.
test: deps
	@cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DHYB_SANITIZE=ON -DHYB_SHARED_MODULES=ON -DHYB_WERROR=$(WERROR) >/dev/null
	@cmake --build build/test -j $(JOBS)
	@cd build/test && xvfb-run -a ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The crash reporter and the end-to-end tests again in an optimized build, linked as the application is:
# frames, inlining and timing differ from the sanitizer build's. Only those labels' programs are built.
test-release: deps
	@cmake -S . -B build/test-release -DCMAKE_BUILD_TYPE=Release -DHYB_WERROR=$(WERROR) >/dev/null
	@cmake --build build/test-release -j $(JOBS) --target tests_crash tests_e2e
	@cd build/test-release && xvfb-run -a ctest --output-on-failure -j $(JOBS) -L 'crash|e2e' $(CTEST_ARGS)

# The application's options go in ARGS, e.g. make run ARGS="--headless --screenshot page.png" (its
# --help lists them); without a bundle folder among them it runs the sample bundle app/bundle. The build's
# lines go to standard error: standard output is the application's.
run: deps
	@cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DHYB_TESTS=OFF >/dev/null
	@cmake --build build/release -j $(JOBS) >&2
	@cd '$(CALLER_DIR)' && '$(CURDIR)/build/release/app/hybridhost' $(ARGS)

# The bank-card payment road in the application, against the loopback payment server and its sample
# order (scripts/demo-cardpay starts the server and stops it when the application ends). Standard output
# is the road's result line alone: the build's lines go to standard error.
demo-cardpay: deps
	@cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DHYB_TESTS=OFF >/dev/null
	@cmake --build build/release -j $(JOBS) --target hybridhost cardpay-test-server >&2
	@cd '$(CALLER_DIR)' && '$(CURDIR)/scripts/demo-cardpay' '$(CURDIR)/build/release' $(DEMO_ARGS)

# Every benchmark runs, even after one has failed; any failure fails the target, naming the failed ones.
bench: deps
	@cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DHYB_TESTS=OFF -DHYB_BENCH=ON >/dev/null
	@cmake --build build/bench -j $(JOBS)
	@failed=""; for b in build/bench/bench/*_bench; do \
	   [ -x "$$b" ] || continue; echo "== $$b"; "$$b" $(BENCH_ARGS) || failed="$$failed $${b##*/}"; \
	 done; \
	 if [ -n "$$failed" ]; then echo "bench: failed:$$failed" >&2; exit 1; fi

# Every test under ThreadSanitizer (not part of CI). Any report fails its test; tests/tsan.supp silences
# only reports wholly inside uninstrumented system libraries, each line saying why.
tsan: deps
	@cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DHYB_TSAN=ON -DHYB_WERROR=$(WERROR) >/dev/null
	@cmake --build build/tsan -j $(JOBS)
	@cd build/tsan && TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp second_deadlock_stack=1 $(TSAN_OPTIONS)" \
	  xvfb-run -a ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The folders are shared libraries here too, as in the test build, so that each target does not carry its
# own copy of the product.
fuzz: deps
	@CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DHYB_TESTS=OFF -DHYB_FUZZ=ON -DHYB_SHARED_MODULES=ON >/dev/null
	@cmake --build build/fuzz -j $(JOBS)

# Every fuzz target built as above, then run once over each seed of its corpus (fuzz/corpus/<target>),
# at most FUZZ_SECONDS per input: a target that no longer builds, crashes, hangs or is slow on a seed
# fails (CI runs it).
FUZZ_SECONDS ?= 10
fuzz-check: fuzz
	@./scripts/fuzz-check build/fuzz/fuzz fuzz/corpus $(FUZZ_SECONDS)

clean:
	rm -rf build
