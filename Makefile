# Set-up and everyday commands. `make test` and `make run` install what is
# missing (as root), configure, build, and then test or run.

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build programs check test tsan asan fuzz run desktop bench bench-peers clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Only what `make run` and `make desktop` start: the two programs and the
# remote-admin pages beside them (no test binaries).
programs: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target quillon-ftp-server quillon-setup quillon_admin_pages

# The include rules: each folder includes only the folders its library links
# (its CMakeLists.txt), system and OpenSSL headers only in src/platform.
check:
	bash scripts/check-layers.sh

test: check build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Every test again under ThreadSanitizer (a separate build folder).
tsan: deps
	cmake -S . -B $(BUILD_DIR)-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_BUILD_DESKTOP=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread"
	cmake --build $(BUILD_DIR)-tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --test-dir $(BUILD_DIR)-tsan --output-on-failure -j $(JOBS)

# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer
# (the interoperability tests with outside clients are left to `make test`).
asan: deps
	cmake -S . -B $(BUILD_DIR)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLON_BUILD_DESKTOP=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
	cmake --build $(BUILD_DIR)-asan -j $(JOBS)
	ctest --test-dir $(BUILD_DIR)-asan --output-on-failure -j $(JOBS) -LE interop

# Coverage-guided fuzzing with clang's libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer: every target for FUZZ_SECONDS on a working copy
# of its seed corpus (tests/fuzz/corpus/<target>). A crash stops the run and
# leaves its input in build-fuzz/ (crash-*).
FUZZ_SECONDS ?= 30
FUZZ_TARGETS = ftp_command_line_fuzz ftp_arguments_fuzz http_request_fuzz form_body_fuzz \
               account_store_fuzz settings_fuzz template_fuzz json_value_fuzz \
               proxy_header_fuzz
fuzz:
	@bash scripts/install-deps.sh clang libclang-rt-14-dev
	cmake -S . -B $(BUILD_DIR)-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_COMPILER=clang++ -DQUILLON_BUILD_TESTS=OFF -DQUILLON_BUILD_FUZZ=ON \
	  -DQUILLON_BUILD_DESKTOP=OFF \
	  -DCMAKE_CXX_FLAGS="-O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
	cmake --build $(BUILD_DIR)-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	@for target in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD_DIR)-fuzz/corpus/$$target; \
	  echo "== $$target ($(FUZZ_SECONDS) s)"; \
	  if ! (cd $(BUILD_DIR)-fuzz && ./tests/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) \
	      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
	      corpus/$$target ../tests/fuzz/corpus/$$target > $$target.log 2>&1); then \
	    tail -n 60 $(BUILD_DIR)-fuzz/$$target.log; exit 1; \
	  fi; \
	  grep -E "^stat::(number_of_executed_units|peak_rss_mb)|DONE" $(BUILD_DIR)-fuzz/$$target.log; \
	done

# Builds, creates a demo configuration on the first run, and runs the server
# in the foreground until Ctrl-C.
run: programs
	@bash scripts/run-demo.sh $(BUILD_DIR)/dist

# The same demo configuration in the desktop program (needs a display).
desktop: programs
	@bash scripts/run-demo.sh $(BUILD_DIR)/dist desktop

bench:
	@bash scripts/install-deps.sh libbenchmark-dev
	cmake -S . -B $(BUILD_DIR)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_BUILD_TESTS=ON -DQUILLON_BUILD_BENCH=ON \
	  -DQUILLON_BUILD_DESKTOP=OFF
	cmake --build $(BUILD_DIR)-bench -j $(JOBS) --target runtime_bench accounts_bench ftp_bench folder_cache_bench e2e_server
	$(BUILD_DIR)-bench/bench/runtime_bench
	$(BUILD_DIR)-bench/bench/accounts_bench
	$(BUILD_DIR)-bench/bench/ftp_bench
	$(BUILD_DIR)-bench/bench/ftp_bench 2 hashed 100
	$(BUILD_DIR)-bench/bench/folder_cache_bench
	python3 bench/transfer_bench.py $(BUILD_DIR)-bench/tests/e2e_server
	cmake --build $(BUILD_DIR)-bench -j $(JOBS) --target quillon-ftp-server quillon-setup quillon_admin_pages
	python3 bench/scale_bench.py $(BUILD_DIR)-bench/dist --burst 500,2000 --repeat 10 --idle 200,2000

# Side by side with the established servers of ../shared/bench (BENCH_DIR):
# installs them on first use (root), writes the table of the measures.
# BENCH_ARGS go to the benchmark, e.g. BENCH_ARGS="--tls --runs 3" for FTPS.
BENCH_ARGS ?= --runs 3
bench-peers: build
	bash scripts/bench-peers.sh $(BUILD_DIR)/dist $(BENCH_ARGS)

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-bench $(BUILD_DIR)-tsan $(BUILD_DIR)-asan $(BUILD_DIR)-fuzz
