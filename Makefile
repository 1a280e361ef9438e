# The two commands that matter: `make demo` runs the main job, `make test` builds and runs the tests.
# Both install missing Debian packages first. SANITIZE=address|thread builds in its own folder.

SANITIZE ?=
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
ifeq ($(SANITIZE),)
BUILD_DIR := build
else
BUILD_DIR := build-$(SANITIZE)
endif
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DWEXO_SANITIZE=$(SANITIZE)
FUZZ_SECONDS ?= 60
# Libraries from Debian are not built with the sanitizers; see the suppressions file for why.
export TSAN_OPTIONS ?= suppressions=$(CURDIR)/tools/sanitizers/tsan.supp second_deadlock_stack=1

.PHONY: all deps configure build test demo bench fuzz fuzz-all format clean install deb

all: build

deps:
	@tools/scripts/install-deps.sh

configure: deps
	@mkdir -p $(BUILD_DIR)
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) > $(BUILD_DIR)/configure.log 2>&1 \
		|| (cat $(BUILD_DIR)/configure.log; exit 1)

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The full ctest output stays in $(BUILD_DIR)/ctest.log; failures are shown, the summary comes last.
test: build
	@cd $(BUILD_DIR) && ctest -j $(JOBS) --output-on-failure --timeout 300 > ctest.log 2>&1; \
		status=$$?; \
		if [ $$status -ne 0 ]; then sed -n '/tests passed/q;p' ctest.log | grep -vE 'Test +#[0-9]+: .* Passed|^ +Start '; fi; \
		sed -n '/tests passed/,$$p' ctest.log; exit $$status

demo: build
	@$(BUILD_DIR)/tools/wexo-demo

bench: build
	@tools/scripts/install-deps.sh --bench
	@for b in $(BUILD_DIR)/bench/bench_*; do echo "== $$b"; $$b --benchmark_counters_tabular=true || exit 1; done

# make install [PREFIX=/usr/local] [DESTDIR=staging]: the daemons to PREFIX/lib/wexo, wexo-reg to
# PREFIX/bin, the systemd units to PREFIX/lib/systemd/system (their ExecStart under PREFIX), the
# documentation to PREFIX/share/doc/wexo. Run as root for a system prefix; systemd is not told:
# `systemctl daemon-reload && systemctl enable --now wexowfp wexosvc` starts them.
PREFIX ?= /usr/local
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# make deb: the Debian package (programs under /usr, units enabled and started by its postinst), in
# $(BUILD_DIR); its path is the last line printed.
deb: build
	@cd $(BUILD_DIR) && cpack -G DEB > cpack.log 2>&1 || (cat cpack.log; exit 1)
	@sed -n 's/^CPack: - package: \(.*\) generated\.$$/\1/p' $(BUILD_DIR)/cpack.log

# Every libFuzzer target in turn, FUZZ_SECONDS each, and a table of executions and findings:
# make fuzz-all FUZZ_SECONDS=600 (FUZZ_MERGE=1 merges what they found into fuzz/corpus/;
# FUZZ_RUNS=10000000 stops each target after that many inputs, FUZZ_SECONDS then its upper bound;
# FUZZ_FLAGS="-detect_leaks=0 -fork=3" passes libFuzzer flags, as for the targets whose inputs wait).
fuzz-all: deps
	@mkdir -p build-fuzz
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DWEXO_FUZZ=ON > build-fuzz/configure.log 2>&1 || (cat build-fuzz/configure.log; exit 1)
	@JOBS=$(JOBS) FUZZ_RUNS=$(FUZZ_RUNS) tools/scripts/fuzz-all build-fuzz $(FUZZ_SECONDS)

# libFuzzer targets, built with clang in their own folder: make fuzz TARGET=http_request_fuzz
fuzz: deps
	@mkdir -p build-fuzz
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DWEXO_FUZZ=ON > build-fuzz/configure.log 2>&1 || (cat build-fuzz/configure.log; exit 1)
	@cmake --build build-fuzz -j $(JOBS) --target $(TARGET)
	@mkdir -p fuzz/findings/$(TARGET) build-fuzz/corpus/$(TARGET)
	@build-fuzz/fuzz/$(TARGET) -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=fuzz/findings/$(TARGET)/ \
		build-fuzz/corpus/$(TARGET) fuzz/corpus/$(TARGET)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf build build-address build-thread build-fuzz
