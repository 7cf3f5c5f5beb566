# DuoDeck — `make run` and `make test` do all the set-up (scripts/bootstrap installs what is missing).
JOBS   ?= $(shell nproc)
BUILD  ?= build/release
CMAKE_FLAGS ?=

PREFIX ?= /usr/local

.PHONY: all bootstrap configure build run test test-asan test-tsan bench fuzz format format-check clean install package

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Only the player and what it needs: the tests are built by `make test`.
run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target duodeck
	@scripts/run $(BUILD)/app/duodeck

# The tests that measure sound in real time run alone (RUN_SERIAL); none is run twice.
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Installs under $(PREFIX) (DESTDIR, if set, is put in front): bin/, the help in share/doc/duodeck/,
# the menu entry, the icons and the software-centre metadata in share/.
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package in $(BUILD): apt-get install ./$(BUILD)/duodeck_*.deb. It fails where lintian,
# Debian's package checker, finds an error or a warning.
package: build
	@cd $(BUILD) && rm -f duodeck_*.deb && cpack -G DEB >/dev/null
	@lintian --fail-on error,warning $(BUILD)/duodeck_*.deb
	@ls -1 $(CURDIR)/$(BUILD)/duodeck_*.deb

# AddressSanitizer + UBSan over every test.
test-asan: bootstrap
	@cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DDUODECK_SANITIZE=address,undefined >/dev/null
	@cmake --build build/asan -j $(JOBS)
	@cd build/asan && ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer over the tests labelled `tsan` (the sound engine, the mixer and its channels).
test-tsan: bootstrap
	@cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDUODECK_SANITIZE=thread >/dev/null
	@cmake --build build/tsan -j $(JOBS)
	@cd build/tsan && ctest --output-on-failure -L tsan -j $(JOBS)

bench: bootstrap
	@cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DDUODECK_BENCH=ON -DDUODECK_TESTS=OFF >/dev/null
	@cmake --build build/bench -j $(JOBS)
	@for b in build/bench/bench/*/bench_*; do \
	   [ -x "$$b" ] || continue; echo "== $$b"; \
	   case "$$b" in */bench_program|*/bench_tempo|*/bench_waveforms) xvfb-run -a -s "-screen 0 1024x768x24" "$$b" ;; *) "$$b" ;; esac || exit 1; \
	 done

# libFuzzer targets with ASan + UBSan, built with clang. Run one with: build/fuzz/tests/<layer>/fuzz_<name> <corpus>
fuzz: bootstrap
	@CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDUODECK_FUZZ=ON \
	   -DDUODECK_TESTS=OFF -DDUODECK_SANITIZE=address,undefined >/dev/null
	@cmake --build build/fuzz -j $(JOBS)

FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h')
format:
	@clang-format -i $(FORMAT_FILES)
format-check:
	@clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf build
