# Two entry points for a fresh Debian 12 machine:
#   make demo   installs what is missing, builds, processes a generated clip
#   make test   installs what is missing, builds everything, runs every test
JOBS ?= $(shell nproc)
NATIVE := build
WIN64 := build-w64
WIN32 := build-w32

.PHONY: demo test deps native win64 win32 bench compare clean install-lv2

deps:
	@scripts/install-deps

native: deps
	cmake -S . -B $(NATIVE) -G Ninja -DQX_TSAN=ON -DQX_BENCH=ON \
	  -DQX_WIN64_TESTS=$(CURDIR)/$(WIN64)/tests/quorvex_tests.exe -DQX_WIN32_DIR=$(CURDIR)/$(WIN32) \
	  -DQX_WIN64_DIR=$(CURDIR)/$(WIN64) >/dev/null
	cmake --build $(NATIVE) -j $(JOBS)

win64: deps
	cmake -S . -B $(WIN64) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
	cmake --build $(WIN64) -j $(JOBS)

win32: deps
	cmake -S . -B $(WIN32) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake >/dev/null
	cmake --build $(WIN32) -j $(JOBS)

demo: deps
	cmake -S . -B $(NATIVE) -G Ninja >/dev/null
	cmake --build $(NATIVE) -j $(JOBS) --target quorvex
	scripts/demo $(NATIVE)/cli/quorvex

test: native win64 win32
	cd $(NATIVE) && ctest --output-on-failure -j $(JOBS)

# The LV2 bundle into ~/.lv2, or PREFIX/lib/lv2 when PREFIX is given.
PREFIX ?=
LV2_DIR := $(if $(PREFIX),$(PREFIX)/lib/lv2,$(HOME)/.lv2)
install-lv2: deps
	cmake -S . -B $(NATIVE) -G Ninja >/dev/null
	cmake --build $(NATIVE) -j $(JOBS) --target quorvex_lv2_bundle
	mkdir -p $(LV2_DIR)
	rm -rf $(LV2_DIR)/quorvex.lv2
	cp -r $(NATIVE)/lv2-bundle/quorvex.lv2 $(LV2_DIR)/
	@echo "installed $(LV2_DIR)/quorvex.lv2"

bench: native
	$(NATIVE)/bench/quorvex_bench

# quorvex against sox's multiband compander and an ffmpeg chain (not part of make test).
compare: deps
	cmake -S . -B $(NATIVE) -G Ninja >/dev/null
	cmake --build $(NATIVE) -j $(JOBS) --target quorvex
	bench/compare $(NATIVE)/cli/quorvex

clean:
	rm -rf $(NATIVE) $(WIN64) $(WIN32)
