# Quorvalend: every target installs what it needs first.
#   make test   deps, build every target, run every test suite
#   make build  configure and build linux32 and win32 (and linux64, arm64, armhf)
#   make test-linux64, test-arm64, test-armhf  one target's suite (ARM under qemu-user)
#   make test-win32  the win32 suite under Wine (inside a VM where 32-bit
#               code is only emulated; QUORVALEND_WINE_VM=1 forces the VM)
#   make deps   install missing Debian packages (and 32-bit and ARM execution)
#   make demo   poll the built-in simulator with qvpoll
#   make demo-gateway  mbpoll through qvgateway to the simulator
#   make fuzz   every fuzz target for FUZZ_SECONDS (default 60) each
#   make bench  line, CPU and scan measurements into build/bench
#   make soak   10,000 transactions per soak (garbled, late with and without the station check)
#   make dist   the release archives (Windows zip; i386, amd64, arm64, armhf tarballs) in build/dist
#   make dist-test  the archives installed and run: under Wine, from a temp folder
#   make deb    the Debian packages in build/deb, for each Linux architecture built
#   make deb-test  lintian, packed again, installed in a clean Debian root (in make test)
SHELL := /bin/bash
.DEFAULT_GOAL := test
.PHONY: deps build build-linux32 build-win32 build-linux64 build-arm64 build-armhf test-linux64 test-arm64 test-armhf build-shipped dist dist-test deb deb-test test test-linux32 test-win32 test-asan soak fuzz fuzz-smoke build-fuzz bench bench-smoke valgrind demo demo-gateway demo-wine clean

I386_MODE = build/i386-mode

deps:
	@bash cmake/deps.sh
	@# The Sparkplug tests' host decodes with npm packages pinned in the lock file.
	@[ tests/sparkplug/node_modules/.package-lock.json -nt tests/sparkplug/package-lock.json ] || \
	  (cd tests/sparkplug && npm ci --no-audit --no-fund --loglevel=error)
	@mkdir -p build && bash cmake/enable-i386.sh > $(I386_MODE)
	@bash cmake/enable-arm.sh >/dev/null
	@if $(WINE_IN_VM); then bash cmake/deps.sh vm; fi

# Wine runs 32-bit Windows programs usably only where the kernel runs
# 32-bit code natively; under user-mode emulation each Wine process takes
# about 40 s of CPU to start and a new prefix is not ready in 12 minutes.
# There every Wine command runs inside a small VM whose own kernel runs 32-bit
# code (cmake/vm-run.sh). QUORVALEND_WINE_VM=1 takes the VM's path on a native
# machine as well: a developer's switch, off by default.
WINE_IN_VM = { [ "$${QUORVALEND_WINE_VM:-0}" = 1 ] || [ "$$(cat $(I386_MODE))" != native ]; }
# $(call VM_RUN,SECONDS) runs the command after it in the VM, stopped after
# that long; WINE_VM with the win32 build's prefix in the VM's memory and a
# warm server.
VM_RUN = bash cmake/vm-run.sh --out build/vm --time-limit $(1) --
WINE_VM = $(call VM_RUN,$(1)) bash tests/wine/vm_prefix.sh build/win32

build-linux32: deps
	@cmake --preset linux32 >/dev/null
	@cmake --build --preset linux32

# Inside the VM each GoogleTest program runs as one test, its cases in one
# Wine process (seconds to start there); elsewhere a process per case.
build-win32: deps
	@cmake --preset win32 -DQUORVALEND_WINE=ON \
	  -DQUORVALEND_GTEST_WHOLE_PROGRAMS=$$(if $(WINE_IN_VM); then echo ON; else echo OFF; fi) >/dev/null
	@cmake --build --preset win32

# amd64 natively; arm64 and armhf cross-built, their programs run under
# qemu-user through binfmt_misc (cmake/enable-arm.sh).
build-linux64 build-arm64 build-armhf: build-%: deps
	@cmake --preset $* >/dev/null
	@cmake --build --preset $*

build: build-linux32 build-win32 build-linux64 build-arm64 build-armhf

# CTest names the tests it skipped but not why: each skip is printed again
# with the reason the test gave.
SKIPS = $(CURDIR)/build/skipped-
PRINT_SKIPS = python3 tests/print_skips.py $(SKIPS)

# Where i386 code runs only under qemu-i386, the gateway's longest suites
# run on linux64 alone, natively: the same sources, tested at full speed.
# The gateway's client, configuration, MQTT and tag suites still run on
# linux32 there, and every suite does where i386 code runs natively.
LINUX32_CTEST = ctest --preset linux32 -j2 --output-junit $(SKIPS)linux32.xml \
	$$( [ "$$(cat $(I386_MODE))" = native ] || echo "-E ^qvgateway_(mqtt_outages|service|faults|page|mqtt_plant|http)$$" )

test-linux32: build-linux32
	@status=0; $(LINUX32_CTEST) || status=1; \
	$(PRINT_SKIPS)linux32.xml; exit $$status

# The whole suite on linux64; on arm64 and armhf what shows the build works
# under qemu-user, the timing-sensitive suites skipped with their reason.
test-linux64 test-arm64 test-armhf: test-%: build-%
	@status=0; ctest --preset $* -j2 --output-junit $(SKIPS)$*.xml || status=1; \
	$(PRINT_SKIPS)$*.xml; exit $$status

# linux64 runs alone: natively its gateway suites race the clock. The ARM
# suites then run side by side, armhf's output kept until arm64's is shown:
# under qemu-user a suite keeps less than one core busy (its tests mostly
# wait for the emulated programs), and its clock-racing suites are left out.
OTHER_LINUX_SUITES_RUN = echo "== linux64"; \
	ctest --preset linux64 -j2 --output-junit $(SKIPS)linux64.xml || status=1; $(PRINT_SKIPS)linux64.xml; \
	echo "== arm64, with armhf beside it"; \
	{ ctest --preset armhf -j2 --output-junit $(SKIPS)armhf.xml >build/armhf-suite.log 2>&1 & } ; armhf=$$!; \
	ctest --preset arm64 -j2 --output-junit $(SKIPS)arm64.xml || status=1; $(PRINT_SKIPS)arm64.xml; \
	wait $$armhf || status=1; echo "== armhf"; cat build/armhf-suite.log; $(PRINT_SKIPS)armhf.xml

# Wine's server leaves its socket folder in the temporary directory: after
# a run of the build's own prefixes, it goes.
FORGET_WINE_SERVER = for p in build/win32/wineprefix build/win32/wineprefix-b; do \
	  bash tests/wine/forget_server_folder.sh $$p; done

# In the VM the whole suite runs in one boot, two tests at a time; its
# JUnit file lands in the VM's output folder, the only one it may write,
# with each whole program's output, where its skipped cases are named.
WIN32_SUITE_RUN = ( status=0; \
	if $(WINE_IN_VM); then \
	  $(call WINE_VM,3600) bash tests/wine/vm_suite.sh build/win32 --output-junit $(CURDIR)/build/vm/skipped-win32.xml \
	    --test-output-size-passed 4194304 || status=1; \
	  python3 tests/print_skips.py build/vm/skipped-win32.xml; \
	else ctest --preset win32 --output-junit $(SKIPS)win32.xml || status=1; $(PRINT_SKIPS)win32.xml; \
	  $(FORGET_WINE_SERVER); fi; \
	exit $$status )

test-win32: build-win32
	@$(WIN32_SUITE_RUN)

test: build build-fuzz dist deb
	@status=0; \
	$(LINUX32_CTEST) || status=1; \
	$(PRINT_SKIPS)linux32.xml; \
	$(WIN32_SUITE_RUN) || status=1; \
	$(OTHER_LINUX_SUITES_RUN); \
	echo "== fuzz smoke: a few seconds per target over the committed seeds"; \
	$(FUZZ_SMOKE_RUN) || status=1; \
	echo "== bench smoke: a few transactions per shape"; \
	$(BENCH_SMOKE_RUN) || status=1; \
	echo "== release archives: contents, the tarball run, packed again"; \
	$(DIST_CHECK_RUN) || status=1; \
	echo "== Debian packages: lintian, packed again, installed in a clean root"; \
	$(DEB_TEST_RUN) || status=1; \
	exit $$status

# Under user-mode emulation LeakSanitizer cannot stop the process's threads
# and hangs at exit; leaks are then left to valgrind.
ASAN_ENV = $$( [ "$$(cat $(I386_MODE) 2>/dev/null)" = native ] || echo ASAN_OPTIONS=detect_leaks=0 )

test-asan: deps
	@cmake --preset linux32-asan >/dev/null
	@cmake --build --preset linux32-asan
	@status=0; env $(ASAN_ENV) ctest --preset linux32-asan --output-junit $(SKIPS)linux32-asan.xml || status=1; \
	$(PRINT_SKIPS)linux32-asan.xml; exit $$status

FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 3

# libFuzzer targets: clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# 32-bit like the product.
build-fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz

fuzz: build-fuzz
	@bash tests/fuzz/run_fuzz.sh build/fuzz $(FUZZ_SECONDS) grow

FUZZ_SMOKE_RUN = bash tests/fuzz/run_fuzz.sh build/fuzz $(FUZZ_SMOKE_SECONDS) seeds

fuzz-smoke: build-fuzz
	@$(FUZZ_SMOKE_RUN)

SOAK_TRANSACTIONS ?= 10000

# linux32, then win32 under Wine (in the VM where 32-bit code is only
# emulated); each run prints its counts by outcome and the crossings it saw.
soak: build-linux32
	@echo "== soak, linux32"
	@QUORVALEND_SOAK_TRANSACTIONS=$(SOAK_TRANSACTIONS) build/linux32/bin/soak_tests
	@$(MAKE) --no-print-directory build-win32
	@if $(WINE_IN_VM); then \
	  echo "== soak, win32 under Wine in the VM" && \
	  $(call WINE_VM,7200) bash tests/wine/soak.sh build/win32 $(SOAK_TRANSACTIONS); \
	else echo "== soak, win32 under Wine" && bash tests/wine/soak.sh build/win32 $(SOAK_TRANSACTIONS); \
	  status=$$?; $(FORGET_WINE_SERVER); exit $$status; fi

# The bench runs Release code; its timings say "emulated" where 32-bit code
# runs under user-mode emulation, which inflates every CPU figure.
bench: deps
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench
	@build/bench/bin/qvbench --out build/bench --execution $$(cat $(I386_MODE))
	@echo && build/bench/bin/gateway_bench build/bench/bin --out build/bench --execution $$(cat $(I386_MODE))
	@gnuplot -e "data='build/bench/line.dat'; out='build/bench/line.png'" tests/bench/line.gp
	@echo "drawn: build/bench/line.png"
	@if [ "$$(cat $(I386_MODE))" = native ]; then \
	  cmake --preset win32 -DQUORVALEND_WINE=ON >/dev/null && cmake --build --preset win32 --target qvbench && \
	  cmake --preset linux32 >/dev/null && cmake --build --preset linux32 --target qvsim && \
	  echo && echo "== under Wine (the driver's Windows code on a mapped COM port)" && \
	  bash tests/bench/wine_bench.sh build/win32 build/linux32 build/bench/wine && \
	  gnuplot -e "data='build/bench/wine/line.dat'; out='build/bench/wine-line.png'" tests/bench/line.gp && \
	  echo "drawn: build/bench/wine-line.png"; \
	  status=$$?; $(FORGET_WINE_SERVER); exit $$status; \
	else echo "bench under Wine: not run, this machine cannot run 32-bit Wine"; fi

SMOKE_OUT = build/linux32/bench-smoke
BENCH_SMOKE_RUN = mkdir -p $(SMOKE_OUT) && \
	{ build/linux32/bin/qvbench --smoke --out $(SMOKE_OUT) --execution $$(cat $(I386_MODE)) > $(SMOKE_OUT)/table.txt \
	  && build/linux32/bin/gateway_bench build/linux32/bin --smoke --out $(SMOKE_OUT) --execution $$(cat $(I386_MODE)) >> $(SMOKE_OUT)/table.txt \
	  && echo "bench smoke: passed ($(SMOKE_OUT)/table.txt)" || { cat $(SMOKE_OUT)/table.txt; false; }; }

bench-smoke: build-linux32
	@$(BENCH_SMOKE_RUN)

# valgrind's 32-bit x86 core stops with "host state invariant failure" under
# user-mode emulation, so memcheck runs only where 32-bit code runs natively.
# The allocation-counting program is left out: it replaces malloc itself.
VALGRIND_PROGRAMS = unit_tests line_tests module_tests soak_tests gateway_unit_tests qvpoll_plan_tests qvsim_tests

# The gateway itself runs under memcheck in these suites, with real clients
# (linked stripped as it ships: configure with -DQUORVALEND_STRIP_PROGRAMS=OFF
# for function names in a finding's stack);
# a finding fails the test that started that gateway.
VALGRIND_GATEWAY_SUITES = clients mqtt http service

# One shell for the whole recipe: an `exit` ends only its own line's shell.
valgrind: build-linux32
	@if [ "$$(cat $(I386_MODE))" != native ]; then \
	  echo "valgrind: NOT RUN: this machine runs 32-bit code only under emulation, where valgrind's 32-bit core cannot start"; \
	  exit 0; \
	fi; \
	status=0; for p in $(VALGRIND_PROGRAMS); do \
	  echo "== valgrind $$p"; \
	  QUORVALEND_UNDER_VALGRIND=1 valgrind --quiet --error-exitcode=9 --leak-check=full --errors-for-leak-kinds=definite \
	    build/linux32/bin/$$p --gtest_brief=1 || status=1; \
	done; \
	for s in $(VALGRIND_GATEWAY_SUITES); do \
	  echo "== valgrind qvgateway, test_qvgateway_$$s.py"; \
	  QVGATEWAY_VALGRIND=1 /usr/bin/python3 tests/test_qvgateway_$$s.py build/linux32/bin/qvpoll \
	    > build/linux32/valgrind-$$s.txt 2>&1 || { status=1; cat build/linux32/valgrind-$$s.txt; }; \
	  tail -3 build/linux32/valgrind-$$s.txt; \
	done; exit $$status

QVPOLL = build/linux32/bin/qvpoll
DEMO_SIM = --sim-set D100=1234 --sim-set D101=0x00FF --sim-set D131=65535 --sim-set M10=0x3C --sim-set M30=0xA5

# Three scans with a write read back, then a station nobody answers: its
# time-out is the expected failure and does not fail the demo.
demo: build-linux32
	@echo "== qvpoll --sim: three scans, D102 written and read back"
	@$(QVPOLL) --sim $(DEMO_SIM) --count 3 --interval 500 D100 D101 D102 D131 M0010 M0030 D102=0x2A
	@echo
	@echo "== station 7 is not on the line: the driver reports its time-out"
	@$(QVPOLL) --sim --sim-station 1 --station 7 --timeout 500 D100; test $$? -eq 1

# qvgateway serving the simulator to mbpoll over Modbus TCP (Linux).
demo-gateway: build-linux32
	@bash tools/demo-gateway.sh build/linux32/bin

# The same with qvpoll.exe and Quorvalend.dll under Wine, over a COM port
# mapped to a pseudo-terminal (in the VM where 32-bit code is only emulated).
demo-wine: build-win32
	@if $(WINE_IN_VM); then $(call WINE_VM,600) bash tools/demo-wine.sh build/win32; \
	else bash tools/demo-wine.sh build/win32; status=$$?; $(FORGET_WINE_SERVER); \
	  exit $$status; fi

clean:
	rm -rf build

# The release: the module and the programs of the tested builds (linked
# stripped, RelWithDebInfo), packed by dist/make_dist.sh into build/dist
# with the version from VERSION. Alone it builds only those.
DIST = build/dist
DIST_ARGS = $(DIST) build/linux32/bin build/win32/bin \
	amd64=build/linux64/bin arm64=build/arm64/bin armhf=build/armhf/bin

build-shipped: deps
	@bash dist/build_shipped.sh linux32 win32 linux64 arm64 armhf

dist: build-shipped
	@bash dist/make_dist.sh $(DIST_ARGS)

# The archives checked and the tarball run (also part of make test), a
# rebuild in fresh folders compared byte for byte, and the zip installed and
# uninstalled in a fresh Wine prefix (in the VM where 32-bit code is only
# emulated).
DIST_CHECK_RUN = bash tests/dist/check_archives.sh $(DIST_ARGS)

dist-test: dist build-win32
	@status=0; \
	echo "== release archives"; $(DIST_CHECK_RUN) || status=1; \
	echo "== rebuild in fresh folders"; bash tests/dist/rebuild_check.sh $(DIST) build/dist-rebuild || status=1; \
	echo "== Windows release under Wine"; \
	install_test="bash tests/dist/wine_install.sh $(DIST)/quorvalend-$$(head -n 1 VERSION)-win32.zip build/win32/bin build/dist-test"; \
	if $(WINE_IN_VM); then $(call VM_RUN,1200) $$install_test || status=1; else $$install_test || status=1; fi; \
	exit $$status

# The Debian packages: for each architecture in packaging/architectures
# whose Release preset exists, its Release build packed into quorvalend and
# qvgateway packages in build/deb. deb-test (also part of make test) runs
# lintian, packs them again elsewhere and compares the bytes, and installs
# them in a clean Debian root that mmdebstrap makes once into build/deb-root
# (from the package registry) and every run unpacks afresh.
DEB = build/deb
DEB_TEST_RUN = bash tests/deb/check_debs.sh $(DEB) build/deb-root

deb: deps
	@bash packaging/build_debs.sh $(DEB)

deb-test: deb
	@$(DEB_TEST_RUN)
