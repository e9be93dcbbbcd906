#!/usr/bin/env bash
# Signs Windows programs and installer packages in place with osslsigncode (Authenticode,
# SHA-256):
#   scripts/sign.sh FILE...
# The certificate comes from the environment, never from the repository:
#   TAGWRIGHT_SIGN_CERT       a PKCS#12 file (.pfx or .p12) holding the code-signing
#                             certificate, its chain and its private key
#   TAGWRIGHT_SIGN_PASSWORD   the PKCS#12 file's password
#   TAGWRIGHT_SIGN_TIMESTAMP  optional: an RFC 3161 timestamp server, so that the signature
#                             stays valid after the certificate expires
# The password reaches osslsigncode through a private file, not its command line.
set -euo pipefail

fail() {
    echo "sign: $*" >&2
    exit 1
}

[ $# -gt 0 ] || fail "usage: scripts/sign.sh FILE..."
command -v osslsigncode >/dev/null 2>&1 || fail "osslsigncode is missing (scripts/setup.sh)"
[ -n "${TAGWRIGHT_SIGN_CERT:-}" ] || fail "TAGWRIGHT_SIGN_CERT names no certificate file"
[ -r "$TAGWRIGHT_SIGN_CERT" ] || fail "cannot read the certificate file $TAGWRIGHT_SIGN_CERT"
[ -n "${TAGWRIGHT_SIGN_PASSWORD+set}" ] || fail "TAGWRIGHT_SIGN_PASSWORD is not set"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
umask 077
printf '%s' "$TAGWRIGHT_SIGN_PASSWORD" >"$scratch/password"

timestamp=()
[ -n "${TAGWRIGHT_SIGN_TIMESTAMP:-}" ] && timestamp=(-ts "$TAGWRIGHT_SIGN_TIMESTAMP")

for file in "$@"; do
    [ -f "$file" ] || fail "no file $file"
    signed="$scratch/$(basename "$file")"
    osslsigncode sign -pkcs12 "$TAGWRIGHT_SIGN_CERT" -readpass "$scratch/password" \
        -h sha256 -n "Tagwright" "${timestamp[@]}" -in "$file" -out "$signed" >"$scratch/log" 2>&1 ||
        fail "signing $file failed: $(tail -n 3 "$scratch/log")"
    # Keep the file's own mode: the signed copy was made under the private umask.
    chmod --reference="$file" "$signed"
    mv -f "$signed" "$file"
    echo "sign: signed $file"
done
