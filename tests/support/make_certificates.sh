#!/usr/bin/env bash
# Makes the certificates the TLS tests use, in DIR: a CA (ca.pem) and another (other-ca.pem); the
# relay's (server.pem, server.key: localhost, 127.0.0.1, ::1) signed by the CA; clients' signed by
# the CA (client: CN=roof-viewer; expired; future: not valid yet) and one signed by the other CA
# (stranger); an expired server certificate (server-expired.pem). P-256 keys: quick to make.
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

for ca in ca other-ca; do
    key "$ca.key"
    openssl req -x509 -new -key "$ca.key" -subj "/CN=Kestavo test $ca" -days 30 -out "$ca.pem" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
done

# `openssl ca` alone can give a certificate any validity, past or future.
mkdir -p ca.db
: >ca.db/index.txt
echo 01 >ca.db/serial
cat >ca.cnf <<'CONF'
[ca]
default_ca = test
[test]
dir = .
database = ca.db/index.txt
serial = ca.db/serial
new_certs_dir = ca.db
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = copy
[anything]
commonName = supplied
CONF

sign() { # name subject issuer startdate enddate [san]
    local name=$1 subject=$2 issuer=$3 start=$4 end=$5 san=${6:-}
    key "$name.key"
    if [ -n "$san" ]; then
        openssl req -new -key "$name.key" -subj "$subject" -addext "subjectAltName=$san" -out "$name.csr"
    else
        openssl req -new -key "$name.key" -subj "$subject" -out "$name.csr"
    fi
    openssl ca -batch -config ca.cnf -cert "$issuer.pem" -keyfile "$issuer.key" -in "$name.csr" \
        -startdate "$start" -enddate "$end" -out "$name.pem" -notext 2>/dev/null
}

now=$(date -u -d '-1 day' +%Y%m%d%H%M%SZ)
later=$(date -u -d '+30 days' +%Y%m%d%H%M%SZ)
sign server "/CN=localhost" ca "$now" "$later" "DNS:localhost,IP:127.0.0.1,IP:::1"

sign client "/CN=roof-viewer" ca "$now" "$later"
sign expired "/CN=old-viewer" ca 20200101000000Z 20200201000000Z
sign future "/CN=new-viewer" ca 20990101000000Z 20990201000000Z
sign stranger "/CN=stranger" other-ca "$now" "$later"
sign server-expired "/CN=localhost" ca 20200101000000Z 20200201000000Z "DNS:localhost"
sign server-other "/CN=localhost" other-ca "$now" "$later" "DNS:localhost,IP:127.0.0.1,IP:::1"
