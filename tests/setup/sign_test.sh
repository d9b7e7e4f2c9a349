#!/usr/bin/env bash
# Signs a Windows onefile executable (linked by talvor_add_onefile, or
# completed from a prebuilt launcher by talvor-pack) with a throw-away
# certificate and checks
# that the signature verifies, that it covers the attached data, and that the
# signed executable still runs under Wine and still passes talvor-pack verify.
#   sign_test.sh WINE_RUN WINEPREFIX ONEFILE_EXE TALVOR_PACK_EXE SCRATCH
#
# Authenticode appends the signature after the image and changes only the
# checksum and the certificate-table entry of the headers; the attached data
# inside the read-only data is untouched, so the launcher finds it as before.
set -uo pipefail
wine_run=$1 prefix=$2 exe=$3 pack=$4 scratch=$5

failures=0
passes=0
check() {  # check CONDITION-STATUS WHAT
    if [ "$1" -eq 0 ]; then passes=$((passes + 1)); else echo "FAIL: $2"; failures=$((failures + 1)); fi
}
windows_path() { echo "Z:${1//\//\\}"; }

for tool in openssl osslsigncode; do
    if ! command -v "$tool" >/dev/null; then
        echo "FAIL: $tool is not installed (scripts/deps.sh installs it)"
        exit 1
    fi
done

rm -rf "$scratch"
mkdir -p "$scratch/temp"
cd "$scratch" || exit 1

# A self-signed certificate for code signing, serving as its own CA.
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj "/CN=Talvor Onefile test signer" -addext "extendedKeyUsage=codeSigning" \
    >openssl.log 2>&1
check $? "openssl made no certificate: $(cat openssl.log)"

osslsigncode sign -certs cert.pem -key key.pem -h sha256 -n "Talvor Onefile test" \
    -in "$exe" -out signed.exe >sign.log 2>&1
check $? "osslsigncode sign failed: $(cat sign.log)"

osslsigncode verify -in signed.exe -CAfile cert.pem >verify.log 2>&1
check $? "osslsigncode verify rejected the signed executable: $(cat verify.log)"

# The signature covers the attached data: one changed byte inside it (past
# the magic, in the compressed frame) must break the signature. The magic is
# found with the zstd frame's that follows it: the launcher's own code holds
# the three letters too.
magic_at=$(LC_ALL=C grep -obUaP 'KAY\x28\xB5\x2F\xFD' signed.exe | head -n 1 | cut -d: -f1)
[ -n "$magic_at" ]
check $? "no attached data magic in the signed executable"
cp signed.exe tampered.exe
printf '\x5a' | dd of=tampered.exe bs=1 seek=$((${magic_at:-0} + 16)) conv=notrunc status=none
osslsigncode verify -in tampered.exe -CAfile cert.pem >tampered.log 2>&1
[ $? -ne 0 ]
check $? "osslsigncode verify accepted an executable whose attached data was changed"

# The signed executable runs: Wine ignores TEMP from Linux, so cmd.exe sets
# it for the launcher, which then unpacks below the scratch directory.
temp=$(windows_path "$scratch/temp")
"$wine_run" "--wineprefix=$prefix" cmd /c \
    "set TEMP=$temp&& set TMP=$temp&& $(windows_path "$scratch/signed.exe") --exit 7" \
    </dev/null >run.out 2>run.err
status=$?
tr -d '\r' <run.out >run.txt
[ "$status" -eq 7 ]
check $? "the signed executable ended with $status, not 7; output: $(cat run.txt) $(cat run.err)"
for line in "Hello from a onefile application!" "data file: First line of the demo data file." "exit status: 7"; do
    grep -qxF "$line" run.txt
    check $? "the signed executable did not print '$line'; output: $(cat run.txt)"
done
grep -qF "main library: $temp\\onefile_" run.txt
check $? "the signed executable did not unpack below $temp; output: $(cat run.txt)"
[ -z "$(ls -A temp)" ]
check $? "the signed executable left $(ls temp) in its temporary folder"

"$wine_run" "--wineprefix=$prefix" "$pack" verify "$(windows_path "$scratch/signed.exe")" \
    </dev/null >pack.log 2>&1
check $? "talvor-pack verify rejected the signed executable: $(cat pack.log)"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
