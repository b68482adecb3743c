#!/usr/bin/env bash
# make install's layout under DESTDIR, the Tamsork.signed.efi rule, the
# installed tamsork stick taking the installed Tamsork.efi, and the Debian
# package's name, files and Depends.
#
#   install_test.sh BUILD_DIR EFI_BUILD_DIR SCRATCH_DIR
set -uo pipefail
build=$(realpath "$1") efi=$(realpath "$2") scratch=$(realpath -m "$3")
[ -f "$efi/Tamsork.efi" ] && [ -f "$efi/virtual-board/H2OFFT-Sx64.efi" ] || { echo "make efi first"; exit 77; }
rm -rf "$scratch" && mkdir -p "$scratch/efi" "$scratch/usb" && cd "$scratch" || exit 1
status=0
fail() { echo "FAIL: $*"; status=1; }
# A Tamsork.efi unlike the build's (one byte more), so the stick shows which it got.
{ cat "$efi/Tamsork.efi"; printf x; } >efi/Tamsork.efi
stage=$scratch/stage/usr/share/tamsork
install() { DESTDIR=$scratch/stage cmake -DCMAKE_INSTALL_PREFIX=/usr -DTAMSORK_INSTALL_EFI_DIR="$scratch/efi" \
  -P "$build/cmake_install.cmake" >/dev/null || fail "install ($1) failed"; }
# signed image | its record of the unsigned one | installed?
cases=("none|none|no" "signed|this|yes" "signed|other|no" "signed|none|no")
for row in "${cases[@]}"; do
  IFS='|' read -r signed record expected <<<"$row"
  rm -f efi/Tamsork.signed.efi*
  [ "$signed" = none ] || echo signed >efi/Tamsork.signed.efi
  from=$([ "$record" = this ] && echo efi/Tamsork.efi || echo "$efi/Tamsork.efi")  # "other": the build's
  [ "$record" = none ] || echo "$(sha256sum <"$from" | cut -d ' ' -f 1)  Tamsork.efi" >efi/Tamsork.signed.efi.unsigned-sha256
  install "$row"
  [ -e "$stage/Tamsork.signed.efi" ] && found=yes || found=no
  [ "$found" = "$expected" ] || fail "signed image $signed, record $record: installed $found, expected $expected"
done
for f in bin/tamsork share/man/man1/tamsork.1 share/doc/tamsork/README.md; do
  [ -s "stage/usr/$f" ] || fail "no $f under DESTDIR"
done
cmp -s efi/Tamsork.efi "$stage/Tamsork.efi" || fail "share/tamsork/Tamsork.efi is not the EFI build's"
printf 'xx$BVDT$.a1.06yy' >bios.bin
stage/usr/bin/tamsork stick usb --image bios.bin --tool "$efi/virtual-board/H2OFFT-Sx64.efi" >/dev/null || fail "the installed tamsork stick failed"
cmp -s "$stage/Tamsork.efi" usb/Tamsork.efi || fail "the installed tamsork stick did not take the installed Tamsork.efi"

cpack --config "$build/CPackConfig.cmake" -B deb >cpack.log 2>&1 || fail "cpack failed: $(tail -n 3 cpack.log)"
version=$(stage/usr/bin/tamsork --version | cut -d ' ' -f 2)
deb=deb/tamsork_${version}_amd64.deb
[ -f "$deb" ] || { echo "FAIL: no $deb"; exit 1; }
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | grep -v '^./usr/share/doc/tamsork/' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/tamsork ./usr/share/man/man1/tamsork.1.gz ./usr/share/tamsork/Tamsork.efi " ] ||
  fail "package files: $files"
depends=$(dpkg-deb -f "$deb" Depends)
for package in mtools dosfstools libc6 libstdc++6; do
  sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends" | grep -qxF "$package" || fail "Depends has no $package: $depends"
done
exit $status
