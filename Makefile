# Brindlex: two builds of one source tree.
#   make deps    install what the build needs (Debian packages)
#   make         both builds: build/native/Brindlex.so, build/windows/Brindlex.dll
#   make test    both builds and every suite (native, native under ASan+UBSan, Windows under Wine)
#   make demo    the driver's demo with the native library, then the Windows one under Wine
#   make bench   speed and memory, side by side with peer tools
#   make fuzz    libFuzzer runs over every reader (FUZZ_SECONDS each, default 60)

export WINEDEBUG := -all
export WINEDLLOVERRIDES := mscoree,mshtml=
JOBS ?= $(shell nproc)

.PHONY: all deps native native-asan windows test test-native test-asan test-windows test-fuzz demo bench fuzz clean

all: native windows

deps:
	@bash tools/deps.sh

build/native/build.ninja: | deps
	cmake --preset native
build/native-asan/build.ninja: | deps
	cmake --preset native-asan
build/windows/build.ninja: | deps
	cmake --preset windows

native: build/native/build.ninja
	cmake --build build/native -j $(JOBS)
native-asan: build/native-asan/build.ninja
	cmake --build build/native-asan -j $(JOBS)
windows: build/windows/build.ninja
	cmake --build build/windows -j $(JOBS)

test-native: native
	ctest --test-dir build/native --output-on-failure
test-asan: native-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --test-dir build/native-asan --output-on-failure
test-windows: windows
	ctest --test-dir build/windows --output-on-failure
# A short libFuzzer smoke of every target (the replays run in every suite).
test-fuzz:
	FUZZ_SECONDS=$${FUZZ_SMOKE_SECONDS:-10} bash fuzz/run.sh

test: deps
	$(MAKE) test-native
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

clean:
	rm -rf build
