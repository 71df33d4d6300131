# Set-up and everyday commands. Each target installs the Debian packages that are missing,
# then configures and builds before doing its job.

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
ifeq ($(CI),true)
  CMAKE_FLAGS += -DTRAMBLIX_WERROR=ON
endif

PACKAGES := build-essential cmake pkg-config \
	qt6-base-dev qt6-base-dev-tools qt6-image-formats-plugins libgl-dev \
	libjpeg62-turbo-dev libjpeg-turbo-progs liblcms2-dev libjxl-dev libexpat1-dev \
	libgtest-dev libgmock-dev libbenchmark-dev \
	libx11-dev xvfb xauth xdotool imagemagick x11-utils fonts-liberation2 \
	clang clang-format-14 libclang-rt-14-dev llvm butteraugli \
	openssh-server openssh-client parallel libgs-common libimage-exiftool-perl

SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

# Where `make install` puts the programs (tramblix in $(PREFIX)/bin); DESTDIR stages a package.
PREFIX ?= /usr/local

# Only the benchmarks need these: butteraugli_main (its 3-norm) and node for the peers of bench-field.
BENCH_PACKAGES := libjxl-devtools nodejs

.PHONY: deps bench-deps configure build install run test bench bench-field clean fuzz test-sanitize format format-check

deps bench-deps:
	@missing=""; \
	for p in $(if $(filter bench-deps,$@),$(BENCH_PACKAGES),$(PACKAGES)); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j$(JOBS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

run: build
	@if [ -x $(BUILD_DIR)/bin/jpegtramblix ]; then \
	  $(BUILD_DIR)/bin/jpegtramblix; \
	else \
	  $(BUILD_DIR)/bin/tramblix --help; \
	  echo; echo "To compress a file: $(BUILD_DIR)/bin/tramblix --level 5 photo.jpg smaller.jpg"; \
	fi

# Every test must run: a skipped one (ctest lists it as "(Skipped)") fails the target.
test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen bash -o pipefail -c 'ctest --output-on-failure -j$(JOBS) | tee ctest.log'
	@! grep -q '(Skipped)' $(BUILD_DIR)/ctest.log || { echo "make test: the tests listed above were skipped; every test must run"; exit 1; }
	tools/ssh-parallel-check $(BUILD_DIR)

bench: build bench-deps
	@command -v npm >/dev/null && [ ! -d bench/quality/node_modules ] && (cd bench/quality && npm ci --no-audit --no-fund) || true
	@for b in $(BUILD_DIR)/bin/bench_*; do [ -x "$$b" ] && { echo "== $$b"; "$$b"; } || true; done
	@[ -x tools/bench-memory ] && tools/bench-memory $(BUILD_DIR) || true

# Bytes at equal SSIMULACRA2 and butteraugli against mozjpeg and jpegli (bench/quality/field_bench.py;
# peers from ../shared/peers). Slow the first time (about 15 minutes on 2 cores); results are cached.
bench-field: build bench-deps
	@[ -d bench/quality/node_modules ] || ! command -v npm >/dev/null || (cd bench/quality && npm ci --no-audit --no-fund)
	python3 bench/quality/field_bench.py --build $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)

# Hardening, each in a build directory of its own. Warnings are the normal build's business, so
# these builds do not take CMAKE_FLAGS.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan

# libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer), FUZZ_SECONDS each.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTRAMBLIX_FUZZ=ON -DTRAMBLIX_SANITIZE=address,undefined
	cmake --build $(FUZZ_DIR) -j$(JOBS) --target fuzz_compress fuzz_preview make_seeds
	fuzz/run $(FUZZ_DIR) $(FUZZ_SECONDS)

# Every test under AddressSanitizer + UndefinedBehaviorSanitizer; under ThreadSanitizer every
# test program whose threads it can follow: the batch runner's, the engine's (the filters split a
# picture over threads) and the command-line tool's (cli_tests run the TSan-built tramblix, whose
# directory runs use the runner). The window's tests are left out: Debian's Qt is not built for
# TSan, and directory_tab_test under it reports races inside Qt's own thread pool and wait
# conditions, which synchronise through futexes TSan cannot see. A suppression naming the Qt
# libraries would match every stack that passes through Qt's event loop, so it would hide races
# in our GUI-side code (BatchJob's delivery) as well.
test-sanitize: deps
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAMBLIX_SANITIZE=address,undefined
	cmake --build $(ASAN_DIR) -j$(JOBS)
	cd $(ASAN_DIR) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1 LSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/lsan.supp \
	  ctest --output-on-failure -j$(JOBS)
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAMBLIX_SANITIZE=thread
	cmake --build $(TSAN_DIR) -j$(JOBS) --target batch_tests engine_tests cli_tests
	for t in batch_tests engine_tests cli_tests; do \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_DIR)/bin/$$t || exit 1; \
	done

# Formatting with Debian 12's clang-format 14 and .clang-format: other versions lay out the
# same code differently, so no other is taken. Looked up when the target runs, after deps.
FIND_CLANG_FORMAT = cf=$$(command -v clang-format-14 || \
	{ clang-format --version 2>/dev/null | grep -q 'version 14\.' && echo clang-format; }); \
	[ -n "$$cf" ] || { echo "clang-format 14 is needed (apt-get install clang-format-14)"; exit 1; }
FORMAT_FILES = git ls-files -z '*.cpp' '*.h' '*.inc' ':!:bench/quality/node_modules'

format: deps
	@$(FIND_CLANG_FORMAT); $(FORMAT_FILES) | xargs -0 $$cf -i --style=file

format-check: deps
	@$(FIND_CLANG_FORMAT); $(FORMAT_FILES) | xargs -0 $$cf --dry-run --Werror --style=file
