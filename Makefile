# Brindlex: two builds of one source tree.
#   make deps    install what the build needs (Debian packages)
#   make         both builds: build/native/Brindlex.so, build/windows/Brindlex.dll
#   make test    both builds and every suite (native with GCC and with clang, native under
#                ASan+UBSan, arm64 under qemu, Windows under Wine)
#   make demo    the driver's demo with the native library, then the Windows one under Wine
#   make bench   speed and memory, side by side with peer tools
#   make fuzz    libFuzzer runs over every reader (FUZZ_SECONDS each, default 60)
#   make valgrind  the native suite under Memcheck (not part of make test)

export WINEDEBUG := -all
export WINEDLLOVERRIDES := mscoree,mshtml=
JOBS ?= $(shell nproc)

.PHONY: all deps native native-asan native-clang windows test test-native test-asan test-clang test-windows test-fuzz demo bench fuzz valgrind clean

all: native windows

deps:
	@bash tools/deps.sh

build/native/build.ninja: | deps
	cmake --preset native
build/native-asan/build.ninja: | deps
	cmake --preset native-asan
build/native-clang/build.ninja: | deps
	cmake --preset native-clang
build/windows/build.ninja: | deps
	cmake --preset windows

native: build/native/build.ninja
	cmake --build build/native -j $(JOBS)
native-asan: build/native-asan/build.ninja
	cmake --build build/native-asan -j $(JOBS)
native-clang: build/native-clang/build.ninja
	cmake --build build/native-clang -j $(JOBS)
windows: build/windows/build.ninja
	cmake --build build/windows -j $(JOBS)

test-native: native
	ctest --test-dir build/native --output-on-failure
test-asan: native-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --test-dir build/native-asan --output-on-failure
test-clang: native-clang
	ctest --test-dir build/native-clang --output-on-failure
test-windows: windows
	ctest --test-dir build/windows --output-on-failure
# A short libFuzzer smoke of every target (the replays run in every suite).
test-fuzz:
	FUZZ_SECONDS=$${FUZZ_SMOKE_SECONDS:-10} bash fuzz/run.sh

test: deps
	$(MAKE) test-native
	$(MAKE) test-clang
	$(MAKE) test-asan
	$(MAKE) test-windows
	$(MAKE) test-fuzz

demo: deps native windows
	build/native/brindlex demo build/demo/native
	wine build/windows/brindlex.exe demo build/demo/windows

bench: deps native
	bash bench/run.sh

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

clean:
	rm -rf build
