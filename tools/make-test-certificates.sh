#!/bin/bash
# Makes throwaway certificates for the TLS tests in FOLDER, each valid for
# two days: a test CA (ca.pem), and signed by it
#   server.pem/.key   for 127.0.0.1 and localhost
#   renewed.pem/.key  the same names, another key and subject (a renewal)
#   other-name.pem/.key  for elsewhere.invalid only (a name mismatch)
# and untrusted.pem/.key for 127.0.0.1 from a CA nobody trusts.
# usage: make-test-certificates.sh FOLDER
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
ca() {  # NAME SUBJECT
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 2 -subj "$2" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
leaf() {  # NAME SUBJECT SAN CA
  key "$1.key"
  openssl req -new -key "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' "$3" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$4.pem" -CAkey "$4.key" -CAcreateserial -out "$1.pem" -days 2 \
    -extfile "$1.ext" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}
ca ca "/CN=Tidemark test CA"
ca stranger-ca "/CN=Nobody trusts this CA"
leaf server "/CN=tidemark-test-server" "IP:127.0.0.1,DNS:localhost" ca
leaf renewed "/CN=tidemark-renewed-server" "IP:127.0.0.1,DNS:localhost" ca
leaf other-name "/CN=elsewhere.invalid" "DNS:elsewhere.invalid" ca
leaf untrusted "/CN=tidemark-untrusted" "IP:127.0.0.1,DNS:localhost" stranger-ca
