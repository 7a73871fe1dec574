# Quorvalend: every target installs what it needs first.
#   make test   deps, build both targets, run both test suites
#   make build  configure and build linux32 and win32
#   make deps   install missing Debian packages (and 32-bit execution)
SHELL := /bin/bash
.DEFAULT_GOAL := test
.PHONY: deps build build-linux32 build-win32 test test-linux32 test-win32 test-asan clean

I386_MODE = build/i386-mode

deps:
	@bash cmake/deps.sh
	@mkdir -p build && bash cmake/enable-i386.sh > $(I386_MODE)

# Wine runs 32-bit Windows programs only where the kernel runs 32-bit code
# natively; under user-mode emulation it does not start.
WINE_USABLE = $$( [ "$$(cat $(I386_MODE) 2>/dev/null)" = native ] && echo ON || echo OFF )

build-linux32: deps
	@cmake --preset linux32 >/dev/null
	@cmake --build --preset linux32

build-win32: deps
	@cmake --preset win32 -DQUORVALEND_WINE=$(WINE_USABLE) >/dev/null
	@cmake --build --preset win32

build: build-linux32 build-win32

test-linux32: build-linux32
	@ctest --preset linux32

test-win32: build-win32
	@ctest --preset win32

test: build
	@status=0; \
	ctest --preset linux32 || status=1; \
	ctest --preset win32 || status=1; \
	exit $$status

test-asan: deps
	@cmake --preset linux32-asan >/dev/null
	@cmake --build --preset linux32-asan
	@ctest --preset linux32-asan

clean:
	rm -rf build
