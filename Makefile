# Entry points. The real build is CMake (see CMakePresets.json).
MAKEFLAGS += --no-print-directory
.PHONY: all bootstrap efi host sanitize fuzz-build test fuzz bench clean demo sign coverage rehearse install deb

all: efi host

bootstrap:
	@scripts/bootstrap

efi: bootstrap
	@cmake --preset efi >/dev/null
	@cmake --build --preset efi
	@printf 'build/efi/Tamsork.efi: %s bytes, sha256 %s\n' "$$(stat -c %s build/efi/Tamsork.efi)" \
		"$$(cut -d ' ' -f 1 build/efi/Tamsork.efi.sha256)"

host: bootstrap
	@cmake --preset host >/dev/null
	@cmake --build --preset host

# The host tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: bootstrap
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize

# The libFuzzer targets (fuzz/), instrumented in a tree of their own.
fuzz-build: bootstrap
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz

# Every suite runs even when an earlier one fails; the target fails if any
# did. The virtual board runs the EFI build, so it runs once, with the host
# tests; each fuzz target runs for 10 s from its seeds.
test: all sanitize fuzz-build
	@status=0; \
	ctest --preset host || status=1; \
	ctest --preset sanitize -LE virtual-board || status=1; \
	ctest --preset fuzz || status=1; \
	exit $$status

# build/efi/Tamsork.signed.efi for Secure Boot: signed with a db key and
# checked against its certificate (scripts/sign-efi).
sign: efi
	@scripts/sign-efi "$(KEY)" "$(CERT)" build/efi/Tamsork.efi build/efi/Tamsork.signed.efi

# The tamsork command, Tamsork.efi (and Tamsork.signed.efi when make sign
# signed this very image), the man page and the documentation, under
# $(DESTDIR)$(PREFIX): bin/, share/tamsork/, share/man/man1/, share/doc/tamsork/.
PREFIX ?= /usr/local
install: efi
	@cmake --preset host >/dev/null
	@cmake --build --preset host --target tamsork tamsork_man
	@DESTDIR="$(DESTDIR)" cmake --install build/host --prefix "$(PREFIX)"

# build/tamsork_<version>_amd64.deb: the same files under /usr.
deb: efi
	@cmake --preset host >/dev/null
	@cmake --build --preset host --target tamsork tamsork_man
	@cd build && cpack --config host/CPackConfig.cmake -B package >/dev/null
	@mv build/package/tamsork_*.deb build/
	@ls -l build/tamsork_*.deb

# Each fuzz target for five minutes, from its seeds and what earlier runs found.
fuzz: fuzz-build
	@TAMSORK_FUZZ_SECONDS=300 ctest --preset fuzz

# Line and branch coverage of app/ and kit/ by the host tests, per file, in
# build/coverage (scripts/coverage); the HTML report is in
# build/coverage/html. Not part of `make test`.
coverage: bootstrap
	@scripts/coverage

bench: host
	@cmake --build --preset host --target version_marker_bench
	@build/host/bench/version_marker_bench --benchmark_min_time=1
	@python3 bench/log_report_bench.py build/host/tools/tamsork build/bench-log

# One normal update of the built Tamsork.efi on the virtual board (OVMF
# under QEMU), shown boot by boot.
demo: bootstrap efi
	@python3 virtual-board/harness/run.py --tamsork build/efi/Tamsork.efi --images build/efi/virtual-board \
		--work build/virtual-board-demo --transcript normal-update

# A made stick (a disk image from the stick maker's --disk-image) booted as a
# USB stick on the virtual board, boot after boot from BIOS $(BIOS) (V1.05
# unless given), until "BIOS Update done!" or the update stops: every boot's
# screen, then the stick's Tamsork.log. It boots a copy, with the board's
# flash tool stand-in in place of the stick's own tool, in
# build/rehearse/<name>.rehearsal.img or $(COPY); STICK itself is only read.
ifneq ($(filter rehearse,$(MAKECMDGOALS)),)
ifeq ($(STICK),)
$(error make rehearse needs STICK=<disk image>, e.g. make rehearse STICK=stick.img BIOS=V1.05)
endif
endif
rehearse: bootstrap efi
	@python3 virtual-board/harness/rehearse.py --images build/efi/virtual-board \
		$(if $(BIOS),--bios "$(BIOS)") $(if $(COPY),--copy "$(COPY)") "$(STICK)"

clean:
	rm -rf build
