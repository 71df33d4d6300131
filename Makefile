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
	libjpeg62-turbo-dev libjpeg-turbo-progs liblcms2-dev \
	libgtest-dev libgmock-dev libbenchmark-dev \
	libx11-dev xvfb xauth xdotool imagemagick x11-utils

SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

.PHONY: deps configure build run test bench clean

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
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

run: build
	@if [ -x $(BUILD_DIR)/bin/jpegtramblix ]; then \
	  $(BUILD_DIR)/bin/jpegtramblix; \
	else \
	  $(BUILD_DIR)/bin/tramblix --help; \
	  echo; echo "To compress a file: $(BUILD_DIR)/bin/tramblix --level 5 photo.jpg smaller.jpg"; \
	fi

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

bench: build
	@for b in $(BUILD_DIR)/bin/bench_*; do [ -x "$$b" ] && { echo "== $$b"; "$$b"; } || true; done
	@[ -x tools/bench-memory ] && tools/bench-memory $(BUILD_DIR) || true

clean:
	rm -rf $(BUILD_DIR)
