#!/usr/bin/env bash
# Signing a sealed package on the Linux side, as an author does: a throwaway CA and publisher
# made here, scripts/sign, osslsigncode verify against that CA, and a signature that no longer
# verifies once one byte of the runner (the first of its seal) has changed, for osslsigncode and
# for the tools' own verdict.
#   tests/sign_test.sh SOURCE_DIR BIN_DIR
set -euo pipefail
src=$1 bin=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
verify() { osslsigncode verify -in "$1" -CAfile ca.pem >verify.txt 2>&1; }

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throwaway Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
  -keyout ca.key -out ca.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=Throwaway Publisher" \
  -keyout publisher.key -out publisher.csr 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
  >publisher.ext
openssl x509 -req -in publisher.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile publisher.ext -out publisher.pem 2>/dev/null

mkdir -p pkg/patchfile
cp "$bin/Patch.exe" "$bin/patchcheck.exe" pkg/
echo "new a" >pkg/patchfile/a.txt
printf '{"patch_list":[{"src":"a.txt","dest":"a.txt","sha256":"%s"}]}\n' \
  "$(sha256sum <pkg/patchfile/a.txt | cut -d' ' -f1)" >pkg/patchfile/conf.json
sign=("$src/scripts/sign" pkg --cert publisher.pem --key publisher.key)

unsigned=$(sha256sum <pkg/Patch.exe)
if "${sign[@]}" 2>refused.txt; then fail "an unsealed runner was signed"; fi
grep -q "is not sealed" refused.txt || fail "expected the refusal's reason, saw: $(cat refused.txt)"
[[ "$(sha256sum <pkg/Patch.exe)" == "$unsigned" ]] || fail "the refused runner was changed"

"$src/cmake/wine-run" "$bin/patchflags.exe" 'pkg\Patch.exe' --seal 'pkg\patchfile\conf.json' \
  >sealed.txt 2>&1 || fail "patchflags --seal: $(cat sealed.txt)"
"${sign[@]}" >/dev/null
for file in Patch.exe patchcheck.exe; do
  verify "pkg/$file" || fail "$file: expected a signature that verifies, saw: $(cat verify.txt)"
done
report=$("$src/cmake/wine-run" "$bin/patchcheck.exe" pkg --json) || fail "patchcheck: $report"
for part in '"seal" : "matching"' '"signed" : true' '"signature" : "verifies"' \
  '"signer" : "Throwaway Publisher"'; do
  grep -qF "$part" <<<"$report" || fail "expected $part for a sealed and signed runner, saw: $report"
done
if "$src/cmake/wine-run" "$bin/patchflags.exe" 'pkg\Patch.exe' --unseal >/dev/null 2>&1; then
  fail "patchflags changed a signed runner"
fi
verify pkg/Patch.exe || fail "a refused change broke the signature: $(cat verify.txt)"

seal=$(($(LC_ALL=C grep -obaF norvalepkgsea pkg/Patch.exe | cut -d: -f1) + 14))
byte=$(od -An -tu1 -j "$seal" -N 1 pkg/Patch.exe)
# Its complement, so that the byte changes whatever it was.
printf "\\$(printf %03o $((255 - byte)))" | dd of=pkg/Patch.exe bs=1 seek="$seal" conv=notrunc 2>/dev/null
if verify pkg/Patch.exe; then fail "the signature still verifies after a byte of the seal changed"; fi
grep -q "message digest.*MISMATCH" verify.txt ||
  fail "expected a digest mismatch, saw: $(cat verify.txt)"
broken="does not verify (0x80096010: the file was changed after it was signed)"
for tool in "patchcheck.exe pkg" 'patchflags.exe pkg\Patch.exe'; do
  # shellcheck disable=SC2086  # the tool and its argument
  if "$src/cmake/wine-run" "$bin/"$tool >seen.txt 2>&1; then fail "$tool passed: $(cat seen.txt)"; fi
  grep -qF "$broken" seen.txt || fail "$tool: expected \"$broken\", saw: $(cat seen.txt)"
done
echo "signed, verified, and broken by one changed byte"
