# Entry points for people and CI. Everything else is plain CMake.
#   make test           install missing Debian packages, build, run every test
#   make test-sanitize  the same in an AddressSanitizer + UndefinedBehaviorSanitizer build
#   make run            build the server and its tools, start it in debug mode on its simulated units
#   make bench          build and run the benchmarks
#   make fuzz           build the wire fuzzer with clang and run it for FUZZ_SECONDS (60)

JOBS        ?= $(shell nproc)
BUILD_DIR   ?= build
SAN_DIR     ?= build-sanitize
TSAN_DIR    ?= build-tsan
FUZZ_DIR    ?= build-fuzz
FUZZ_SECONDS ?= 60
CTEST_FLAGS ?= --output-on-failure --timeout 600

PACKAGES := build-essential cmake pkg-config g++ \
            libfmt-dev libspdlog-dev libsqlite3-dev sqlite3 \
            libcapnp-dev capnproto libsystemd-dev \
            libgtest-dev libgmock-dev libbenchmark-dev libboost-dev clang \
            libpcap-dev tcpdump

.PHONY: deps build test test-sanitize test-tsan fuzz run bench clean

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing missing packages:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -q $$missing; \
	fi

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS) -j $(JOBS)

test-sanitize: deps
	cmake -S . -B $(SAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DTALVARO_SANITIZE=ON -DTALVARO_BENCH=OFF
	cmake --build $(SAN_DIR) -j $(JOBS)
	cd $(SAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest $(CTEST_FLAGS) -j $(JOBS)

test-tsan: deps
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DTALVARO_TSAN=ON -DTALVARO_BENCH=OFF
	cmake --build $(TSAN_DIR) -j $(JOBS)
	cd $(TSAN_DIR) && TSAN_OPTIONS=halt_on_error=1 ctest $(CTEST_FLAGS) -j $(JOBS)

# The wire fuzzer against a server connection: the seed sessions wire_seeds writes and the corpus
# in the tree. New inputs go to $(FUZZ_DIR)/corpus, findings (crash-*, leak-*, timeout-*) to
# $(FUZZ_DIR)/findings; a finding fails the target. docs/remoting.md says how to keep one.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVARO_FUZZ=ON -DTALVARO_BENCH=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target wire_fuzzer wire_seeds
	mkdir -p $(FUZZ_DIR)/corpus $(FUZZ_DIR)/findings
	$(FUZZ_DIR)/fuzz/wire_seeds $(FUZZ_DIR)/corpus
	ASAN_OPTIONS=detect_leaks=1 $(FUZZ_DIR)/fuzz/wire_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/findings/ \
	  $(FUZZ_DIR)/corpus fuzz/corpus/wire

# The server in debug mode with a registry, runtime, log and unit directory of its own under
# run/ (git-ignored), so that it never touches an installed server's. Ctrl-C ends it. Builds only
# the server and the two tools that talk to it, not the tests and benchmarks.
RUN_ROOT := $(CURDIR)/run
RUN_TARGETS := TalvaroCommunicationDriver tcdctl tcdreg

run: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target $(RUN_TARGETS)
	@mkdir -p $(RUN_ROOT)
	@echo "Registry: $(RUN_ROOT)/registry.db"
	@echo "Log:      $(RUN_ROOT)/log/TCD.log"
	@echo "Clients and tools: export TALVARO_REGISTRY=$(RUN_ROOT)/registry.db TALVARO_RUN_DIR=$(RUN_ROOT)"
	@echo
	@TALVARO_REGISTRY=$(RUN_ROOT)/registry.db TALVARO_RUN_DIR=$(RUN_ROOT) TALVARO_LOG_DIR=$(RUN_ROOT)/log \
	  TALVARO_UNIT_DIR=$(RUN_ROOT)/units exec $(BUILD_DIR)/host/TalvaroCommunicationDriver /debug

bench: build
	@for b in $(BUILD_DIR)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf $(BUILD_DIR) $(SAN_DIR) $(TSAN_DIR) $(FUZZ_DIR)
