# Entry points. The real build is CMake (see CMakePresets.json).
.PHONY: all bootstrap efi host test sanitize clean

all: efi host

bootstrap:
	@scripts/bootstrap

efi: bootstrap
	@cmake --preset efi >/dev/null
	@cmake --build --preset efi

host: bootstrap
	@cmake --preset host >/dev/null
	@cmake --build --preset host

test: all
	@ctest --preset host

clean:
	rm -rf build
