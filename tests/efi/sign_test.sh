#!/usr/bin/env bash
# scripts/sign-efi on the built Tamsork.efi with keys and certificates made
# here: a good pair signs an image that sbverify accepts; each bad input
# gives exactly one line naming the problem, a non-zero exit, and leaves no
# signed image (a stale one from an earlier signing is gone too) and no
# partial file.
#
#   sign_test.sh SOURCE_DIR EFI_BUILD_DIR SCRATCH_DIR
set -uo pipefail

sign=$1/scripts/sign-efi
image=$2/Tamsork.efi
scratch=$3
[ -f "$image" ] || { echo "FAIL: $image missing; run make efi"; exit 1; }
rm -rf "$scratch" && mkdir -p "$scratch" && cd "$scratch" || exit 1

new_pair() {
  openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=$1" -days 2 -keyout "$1.key" -out "$1.crt" 2>/dev/null
}
new_pair db && new_pair other || { echo "FAIL: openssl cannot make a test key"; exit 1; }
openssl pkey -in db.key -aes256 -passout pass:secret -out encrypted.key
openssl rsa -in db.key -aes256 -passout pass:secret -traditional -out encrypted-traditional.key 2>/dev/null
openssl x509 -in db.crt -outform der -out db.der
echo "not a certificate" > text.crt
mkdir folder.key

status=0
# key | certificate | what the one line must say
cases=(
  "|db.crt|make sign KEY=db.key CERT=db.crt"
  "db.key||make sign KEY=db.key CERT=db.crt"
  "missing.key|db.crt|key missing.key: no such file"
  "folder.key|db.crt|key folder.key: cannot be read"
  "db.key|missing.crt|certificate missing.crt: no such file"
  "encrypted.key|db.crt|key encrypted.key is encrypted"
  "encrypted-traditional.key|db.crt|key encrypted-traditional.key is encrypted"
  "db.crt|db.crt|key db.crt is not a private key"
  "db.key|db.der|certificate db.der is DER"
  "db.key|text.crt|certificate text.crt is not an X.509 certificate"
  "other.key|db.crt|key other.key does not belong to certificate db.crt"
)
for row in "${cases[@]}"; do
  IFS='|' read -r key cert expected <<<"$row"
  echo stale > signed.efi
  "$sign" "$key" "$cert" "$image" signed.efi >out.txt 2>err.txt
  code=$?
  problem=""
  [ $code -ne 0 ] || problem="exit status 0"
  [ "$(wc -l <err.txt)" -eq 1 ] || problem="$problem; $(wc -l <err.txt) lines on stderr"
  grep -qF -- "$expected" err.txt || problem="$problem; no \"$expected\""
  [ ! -s out.txt ] || problem="$problem; printed on stdout"
  [ ! -e signed.efi ] && [ ! -e signed.efi.part ] || problem="$problem; a signed file is left"
  if [ -n "$problem" ]; then
    echo "FAIL: key '$key', certificate '$cert':${problem#;}. Said: $(cat err.txt)"
    status=1
  fi
done

echo stale > signed.efi
if ! "$sign" db.key db.crt "$image" signed.efi >out.txt 2>err.txt; then
  echo "FAIL: a good pair was refused: $(cat err.txt)"
  status=1
elif ! sbverify --cert db.crt signed.efi >/dev/null 2>&1 || sbverify --cert other.crt signed.efi >/dev/null 2>&1; then
  echo "FAIL: the signed image does not verify against its own certificate only"
  status=1
fi
[ $status -eq 0 ] && echo "sign-efi: ${#cases[@]} refusals and one signing as expected"
exit $status
