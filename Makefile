# Brindlex: two builds of one source tree.
#   make deps    install what the build needs (Debian packages)
#   make         both builds: build/native/Brindlex.so, build/windows/Brindlex.dll
#   make test    both builds and every suite (native with GCC and with clang, native under
#                ASan+UBSan, arm64 under qemu, Windows under Wine)
#   make demo    the driver's demo with the native library, then the Windows one under Wine
#                (installs and builds only the two libraries and their drivers)
#   make demo-arm64  the demo of the arm64 build under qemu, compared file by file with the native one
#   make bench   speed and memory, side by side with peer tools
#   make bench-windows  the bench's export rows in the Windows build under Wine, beside the POSIX build's
#   make fuzz    libFuzzer runs over every reader (FUZZ_SECONDS each, default 60)
#   make valgrind  the native suite under Memcheck (not part of make test)
#   make check-mac-release LIB=Brindlex.dylib  the release check of a built macOS library

export WINEDEBUG := -all
export WINEDLLOVERRIDES := mscoree,mshtml=
JOBS ?= $(shell nproc)

.PHONY: all deps native native-asan native-clang windows test test-native test-asan test-clang test-arm64 test-windows test-fuzz demo demo-arm64 reference arm64 bench bench-windows fuzz valgrind check-mac-release clean

all: native windows

deps:
	@bash tools/deps.sh

build/native/build.ninja: | deps
	cmake --preset native
build/native-asan/build.ninja: | deps
	cmake --preset native-asan
build/native-clang/build.ninja: | deps
	cmake --preset native-clang
# The arm64 build's libraries: Debian's arm64 packages unpacked, not installed.
ARM64_SYSROOT := build/arm64-sysroot
$(ARM64_SYSROOT)/.complete: tools/arm64-sysroot.sh | deps
	bash tools/arm64-sysroot.sh $(ARM64_SYSROOT)
build/arm64/build.ninja: | $(ARM64_SYSROOT)/.complete
	cmake --preset arm64
build/windows/build.ninja: | deps
	cmake --preset windows

native: build/native/build.ninja
	cmake --build build/native -j $(JOBS)
native-asan: build/native-asan/build.ninja
	cmake --build build/native-asan -j $(JOBS)
native-clang: build/native-clang/build.ninja
	cmake --build build/native-clang -j $(JOBS)
arm64: build/arm64/build.ninja
	cmake --build build/arm64 -j $(JOBS)
windows: build/windows/build.ninja
	cmake --build build/windows -j $(JOBS)

# The test presets (CMakePresets.json) carry each suite's environment, so
# that ctest --preset NAME runs it the same way without make.
test-native: native
	ctest --preset native
test-asan: native-asan
	ctest --preset native-asan
test-clang: native-clang
	ctest --preset native-clang
# ctest runs every aarch64 program under qemu-aarch64 (the toolchain's emulator).
test-arm64: arm64
	ctest --preset arm64
	$(MAKE) demo-arm64
# Every file both builds' demos write must be the same bytes.
test-windows: windows native
	ctest --preset windows
	rm -rf build/demo/native build/demo/windows
	build/native/brindlex demo build/demo/native >build/demo-native.log
	wine build/windows/brindlex.exe demo build/demo/windows >build/demo-windows.log
	bash tools/compare-demos.sh build/demo/native build/demo/windows
# A short libFuzzer smoke of every target (the replays run in every suite).
test-fuzz:
	FUZZ_SECONDS=$${FUZZ_SMOKE_SECONDS:-10} bash fuzz/run.sh

test: deps
	$(MAKE) test-native
	$(MAKE) test-clang
	$(MAKE) test-asan
	$(MAKE) test-arm64
	$(MAKE) test-windows
	$(MAKE) test-fuzz

# The demo's own builds: the two libraries and their drivers, no suite.
demo:
	@bash tools/deps.sh demo
	cmake --preset demo-native
	cmake --build --preset demo-native -j $(JOBS) --target Brindlex brindlex
	cmake --preset demo-windows
	cmake --build --preset demo-windows -j $(JOBS) --target Brindlex brindlex
	build/demo-native/brindlex demo build/demo/native
	wine build/demo-windows/brindlex.exe demo build/demo/windows

# The result reference, written from the result rows (the suite checks it).
reference: native
	build/native/brindlex reference >docs/results.md.new
	mv docs/results.md.new docs/results.md

# Every file the arm64 demo writes must equal the native demo's.
demo-arm64: native arm64
	rm -rf build/demo/native build/demo/arm64
	build/native/brindlex demo build/demo/native >build/demo-native.log
	qemu-aarch64 -L $(ARM64_SYSROOT) build/arm64/brindlex demo build/demo/arm64
	diff -r build/demo/native build/demo/arm64
	@echo "arm64 demo: $$(find build/demo/arm64 -type f | wc -l) files, each identical to the native demo's"

bench: deps native
	bash bench/run.sh

bench-windows: deps
	bash bench/windows.sh

fuzz: deps
	bash fuzz/run.sh

# Memcheck over the native suite (the plain build, not the sanitizer one)
# and the fuzz replays of the seeds and kept inputs: any invalid access or
# definite leak fails. The long sweeps and the whole-range float check are
# left out (VALGRIND_FILTER='*' takes them too, about 5 minutes); forked
# children stay silent. tests/valgrind.supp holds GNUstep's start-up tables,
# tinyexr's leak on truncated pixel data and a loader false alarm.
VALGRIND_FILTER ?= -Sweep.*:StreamFloat.MatchesTheDefaultStreamOverTheWholeRange
VALGRIND := valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=1 \
  --child-silent-after-fork=yes --num-callers=40 --suppressions=$(CURDIR)/tests/valgrind.supp
valgrind: native
	cd build/native && $(VALGRIND) ./brindlex_tests --gtest_brief=1 --gtest_filter='$(VALGRIND_FILTER)'
	cd build/native && ./fuzz_seeds fuzz-seeds && \
	  for k in bmp exr mesk psd tiff tilelist version; do \
	    $(VALGRIND) -q ./$${k}_fuzz_replay fuzz-seeds/$$k $(CURDIR)/fuzz/regressions/$$k || exit 1; \
	  done

# Universal (arm64 and x86_64), system libraries only, a minimum macOS of
# at most FLOOR (default 11.0), the export list exactly.
check-mac-release:
	@test -n "$(LIB)" || { echo "usage: make check-mac-release LIB=path/to/Brindlex.dylib [FLOOR=11.0]"; exit 2; }
	bash tools/check-mac-release.sh "$(LIB)" $(FLOOR)

clean:
	rm -rf build
