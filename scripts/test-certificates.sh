#!/usr/bin/env bash
# Makes the certificates of the HTTPS tests: two certificate authorities made
# here (only the first is ever trusted, and only inside the test Wine prefix)
# and four server certificates that share one key:
#
#   test-certificates.sh DIR
#
#   DIR/ca.der          the trusted authority, DER, for the prefix's Root store
#   DIR/localhost.pem   for localhost, valid now: the good server
#   DIR/wrong-name.pem  for another host name
#   DIR/expired.pem     for localhost, expired in 2020
#   DIR/untrusted.pem   for localhost, from the authority nobody trusts
#   DIR/server.key      the servers' key
#
# The authorities are valid from 2019, so that the expired certificate lies
# inside its issuer's lifetime and is refused for its date alone.
set -eu

[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$(realpath -m -- "$1")
rm -rf "$dir"
mkdir -p "$dir/work"
cd "$dir/work"

cat >ca.cnf <<'EOF'
[ca]
default_ca = korvel_test
[korvel_test]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = anything
unique_subject = no
[anything]
commonName = supplied
[authority]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:${ENV::KORVEL_CERT_NAME}
EOF
: >index.txt
echo 01 >serial

stamp() { date -u -d "$1" +%Y%m%d%H%M%SZ; }
an_hour_ago=$(stamp '-1 hour')
in_two_days=$(stamp '+2 days')

new_key() {
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null
}

# sign KEY NAME ISSUER_PEM ISSUER_KEY EXTENSIONS START END OUT; an issuer
# that is OUT itself makes a self-signed authority.
sign() {
    local key=$1 name=$2 issuer=$3 issuer_key=$4 extensions=$5 start=$6 end=$7 out=$8
    local issuer_args=(-cert "$issuer")
    [ "$issuer" = "$out" ] && issuer_args=(-selfsign)
    openssl req -new -key "$key" -subj "/CN=$name" -out request.csr
    KORVEL_CERT_NAME=$name openssl ca -batch -config ca.cnf "${issuer_args[@]}" \
        -keyfile "$issuer_key" -in request.csr -out "$out" -startdate "$start" -enddate "$end" \
        -extensions "$extensions" -notext 2>/dev/null
}

authority() {
    local name=$1 out=$2
    new_key "$out.key"
    sign "$out.key" "$name" "$out.pem" "$out.key" authority 20190101000000Z "$in_two_days" "$out.pem"
}

authority "korvel test CA" trusted-ca
authority "korvel untrusted test CA" other-ca
new_key "$dir/server.key"
sign "$dir/server.key" localhost trusted-ca.pem trusted-ca.key server \
    "$an_hour_ago" "$in_two_days" "$dir/localhost.pem"
sign "$dir/server.key" wrong-name.korvel.test trusted-ca.pem trusted-ca.key server \
    "$an_hour_ago" "$in_two_days" "$dir/wrong-name.pem"
sign "$dir/server.key" localhost trusted-ca.pem trusted-ca.key server \
    20200101000000Z 20200201000000Z "$dir/expired.pem"
sign "$dir/server.key" localhost other-ca.pem other-ca.key server \
    "$an_hour_ago" "$in_two_days" "$dir/untrusted.pem"
openssl x509 -in trusted-ca.pem -outform DER -out "$dir/ca.der"
cd "$dir"
rm -rf "$dir/work"
