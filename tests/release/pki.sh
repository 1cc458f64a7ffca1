# Sourced by the release tests. A throwaway PKI shaped like a publisher's:
# a root, an intermediate it issued, and a code-signing certificate the
# intermediate issued, whose key is encrypted. The signer's certificate names a
# CRL distribution point on 127.0.0.1 where nothing listens, as public ones
# name a CRL, so that a check that tries to fetch it fails visibly offline.
# Also an unrelated self-signed certificate with its key, for a root that is
# not the publisher's and for a signer that is not theirs.
#
# make_pki DIR writes into DIR:
#   root.pem          the root
#   chain.pem         the signer's certificate, then the intermediate (no root),
#                     as a publisher ships it
#   signer.key        the signer's key, encrypted with the password in password
#   other.pem other.key  the unrelated certificate and its (plain) key
#   signer.pem        the signer's certificate alone, its intermediate forgotten
#   expired-chain.pem server-chain.pem  chains whose signer's certificate, for
#                     the same key, has expired, or is for servers, not code
#   signer.pfx        key and chain in one, under the same password
# and returns non-zero, with openssl's output in DIR/openssl.log, if it cannot.
make_pki() { # DIR
  local dir=$1
  mkdir -p "$dir"
  printf 'throwaway-%s\n' "$RANDOM$RANDOM" >"$dir/password"
  (
    cd "$dir" || exit 1
    ca() { printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n'; }
    openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 \
      -subj "/CN=Throwaway Test Root" -addext basicConstraints=critical,CA:TRUE \
      -addext keyUsage=critical,keyCertSign,cRLSign &&
      openssl req -newkey rsa:2048 -nodes -keyout intermediate.key -out intermediate.csr \
        -subj "/CN=Throwaway Test Intermediate" &&
      openssl x509 -req -in intermediate.csr -CA root.pem -CAkey root.key -CAcreateserial -days 2 \
        -extfile <(ca) -out intermediate.pem &&
      openssl req -newkey rsa:2048 -passout file:password -keyout signer.key -out signer.csr \
        -subj "/CN=Sorrelvane Test Publisher" &&
      openssl x509 -req -in signer.csr -CA intermediate.pem -CAkey intermediate.key -CAcreateserial \
        -days 1 -out signer.pem -extfile <(printf '%s\n' basicConstraints=CA:FALSE \
          keyUsage=critical,digitalSignature extendedKeyUsage=codeSigning \
          crlDistributionPoints=URI:http://127.0.0.1:1/throwaway.crl) &&
      cat signer.pem intermediate.pem >chain.pem &&
      for use in expired:codeSigning:-1 server:serverAuth:1; do
        IFS=: read -r name purpose days <<<"$use"
        openssl x509 -req -in signer.csr -CA intermediate.pem -CAkey intermediate.key -CAcreateserial \
          -days "$days" -out "$name.pem" -extfile <(printf '%s\n' basicConstraints=CA:FALSE \
            keyUsage=critical,digitalSignature "extendedKeyUsage=$purpose") &&
          cat "$name.pem" intermediate.pem >"$name-chain.pem" || exit 1
      done &&
      openssl pkcs12 -export -in signer.pem -inkey signer.key -certfile intermediate.pem -name signer \
        -passin file:<(cat password) -passout file:<(cat password) -out signer.pfx &&
      openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 \
        -subj "/CN=Unrelated Test Publisher" -addext basicConstraints=critical,CA:TRUE
  ) >"$dir/openssl.log" 2>&1
}
