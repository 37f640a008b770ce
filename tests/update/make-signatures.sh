#!/usr/bin/env bash
# Makes the signature fixtures of the update tests with Debian's minisign:
#   make-signatures.sh OUTPUT_DIR MANIFEST_DIR
# key.pub/key.key and other.pub/other.key: key pairs without a password;
# message.bin signed as message.ED.minisig (default, prehashed),
# message.Ed.minisig (legacy) and message.other.minisig (other key);
# nested.bin (message.bin plus its signature block) signed as
# nested.ED.minisig; every MANIFEST_DIR/*.xml signed as <name>.minisig, and
# the signed body gzipped as <name>.signed.gz.
set -euo pipefail
out=${1:?usage: make-signatures.sh OUTPUT_DIR MANIFEST_DIR}
manifests=${2:?usage: make-signatures.sh OUTPUT_DIR MANIFEST_DIR}
mkdir -p "$out"
cd "$out"
rm -f ./*.minisig ./*.xml ./*.gz
minisign -G -W -f -p key.pub -s key.key >/dev/null </dev/null
minisign -G -W -f -p other.pub -s other.key >/dev/null </dev/null

sign() {  # sign KEY FILE SIGNATURE [minisign options]
    local key=$1 file=$2 sig=$3
    shift 3
    minisign -S -s "$key" -m "$file" -x "$sig" -t 'release 2 of the test game' "$@" >/dev/null </dev/null
}
printf '<?xml version="1.0"?>\r\n<Update url="/files/" version="2">\n<File version="1" op="1" path="x"/></Update>\n' >message.bin
sign key.key message.bin message.ED.minisig
sign key.key message.bin message.Ed.minisig -l
sign other.key message.bin message.other.minisig
{ cat message.bin; printf '<!-- signature\n'; cat message.ED.minisig; printf -- '-->\n'; } >nested.bin
sign key.key nested.bin nested.ED.minisig
for f in "$manifests"/*.xml; do
    cp "$f" .
    name=$(basename "$f")
    sign key.key "$name" "$name.minisig"
    { cat "$name"; printf '<!-- signature\n'; cat "$name.minisig"; printf -- '-->\n'; } | gzip -n >"$name.signed.gz"
done
touch stamp
