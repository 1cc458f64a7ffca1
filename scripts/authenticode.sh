# Sourced by the release scripts: two questions about an Authenticode-signed
# program, asked apart and answered offline (no revocation list is fetched).
#
#   check_signature FILE WORK_DIR
#     One intact signature, nothing added: the part that needs no build. Needs
#     no roots but those a timestamp's authority must lead to. Returns 2, not
#     1, when FILE carries no signature at all.
#   compare_with_build FILE BUILT_PROGRAM WORK_DIR
#     After check_signature in WORK_DIR: is FILE exactly BUILT_PROGRAM plus
#     that signature?
#   check_signed_build FILE BUILT_PROGRAM WORK_DIR
#     The two above in turn.
#   check_chain FILE ROOTS WORK_DIR [CRL]
#     After check_signature in WORK_DIR: does the signer's certificate chain
#     lead to a root in ROOTS?
#
# Each returns 0, or 1 with a one-line reason in AUTHENTICODE_REASON.
# check_signature sets AUTHENTICODE_SIGNER to the signing certificate's subject
# and AUTHENTICODE_TIMESTAMP to the timestamp authority's, or to nothing;
# check_chain sets AUTHENTICODE_CHAIN to the root the chain led to, or to where
# it stopped. Their files go into WORK_DIR, which the caller makes and removes.

# The one unauthenticated attribute a signature may carry: an RFC 3161
# timestamp (1.3.6.1.4.1.311.3.3.1, DER-encoded), and only one whose token is
# intact and was made for this signature, since what the signer signed does not
# cover it. Anything else there (a nested signature, 1.3.6.1.4.1.311.2.4.1, a
# legacy countersignature that this check cannot open, or any blob) is refused
# rather than shipped unexplained.
authenticode_timestamp_oid=060a2b060104018237030301
# The roots a timestamp's authority must lead to: its token is signed data that
# the publisher did not sign, and an authority of anyone's making could put
# anything in it. Callers may name others.
authenticode_system_roots=/etc/ssl/certs/ca-certificates.crt
authenticode_tsa_roots=$authenticode_system_roots
authenticode_nested_signature_oid=060a2b060104018237020401

authenticode_fail() { AUTHENTICODE_REASON=$1; return 1; }

# Whether FILE holds a PEM certificate that can be read, as a roots file must.
holds_pem_certificate() { # FILE
  grep -q -- '-----BEGIN CERTIFICATE-----' "$1" 2>/dev/null && openssl x509 -in "$1" -noout 2>/dev/null
}

# The DER file's elements, one a line: offset depth header-length length type.
# Returns 1, printing nothing, when the file is not DER with definite lengths
# throughout: an element of indefinite length is not one this reading sees,
# and could hold anything.
asn1_elements() { # DER
  local parsed
  parsed=$(openssl asn1parse -inform DER -in "$1" 2>/dev/null) &&
    ! grep -qvE '^ *[0-9]+:d= *[0-9]+ +hl= *[0-9]+ +l= *[0-9]+ +(prim|cons):' <<<"$parsed" || return 1
  sed -nE 's/^ *([0-9]+):d=([0-9]+) +hl= *([0-9]+) +l= *([0-9]+) +(prim|cons): *([^:]*[^ :]).*/\1 \2 \3 \4 \6/p' <<<"$parsed" |
    awk '{type = ""; for (i = 5; i <= NF; i++) type = type $i; print $1, $2, $3, $4, type}'
}

# Bytes LENGTH at OFFSET of FILE, as lower-case hex.
hex_at() { # FILE OFFSET LENGTH
  od -An -tx1 -v -j "$2" -N "$3" "$1" | tr -d ' \n'
}

subject_of() { openssl x509 -in "$1" -noout -subject -nameopt RFC2253 | sed 's/^subject=//'; }
issuer_of() { openssl x509 -in "$1" -noout -issuer -nameopt RFC2253 | sed 's/^issuer=//'; }
fingerprint_of() { openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/.*=//'; }
# Whether a certificate names itself as its issuer, as a root does.
self_issued() { # CERT
  local names
  names=$(openssl x509 -in "$1" -noout -subject -issuer -nameopt RFC2253 | sed 's/^[a-z]*=//')
  [[ "${names%%$'\n'*}" == "${names#*$'\n'}" ]]
}

# Whether ISSUER's key signed CERT (names, key identifiers and signature), times
# aside. A certificate counts as its own issuer here, so callers keep copies apart.
issued_by() { # CERT ISSUER
  openssl verify -no-CAfile -no-CApath -no_check_time -partial_chain -trusted "$2" "$1" >/dev/null 2>&1
}

# Splits the PEM certificates in FILE into PREFIX-1.pem, PREFIX-2.pem, ... and
# prints their names.
split_certificates() { # FILE PREFIX
  awk -v prefix="$2" '
    /-----BEGIN CERTIFICATE-----/ {n++; out = prefix "-" n ".pem"; print out > "/dev/stderr"}
    n && out {print > out}
    /-----END CERTIFICATE-----/ {close(out); out = ""}' "$1" 2>&1 >/dev/null
}

# Walks from the signer through the carried certificates, each issued by the
# next, and sets carried_chain to the files on that chain, the signer first, and
# stray_certificate to a carried certificate that is not on it (a second copy of
# one that is counts), or to nothing.
walk_carried_chain() { # SIGNER CARRIED...
  local signer=$1 remaining=("${@:2}") current=$1 next i
  local -A fingerprint
  for i in "$@"; do fingerprint[$i]=$(fingerprint_of "$i"); done
  local on_chain=" ${fingerprint[$signer]} "
  carried_chain=("$signer")
  for i in "${!remaining[@]}"; do
    [[ "${fingerprint[${remaining[$i]}]}" == "${fingerprint[$signer]}" ]] && { unset 'remaining[i]'; break; }
  done
  while ! self_issued "$current"; do
    next=""
    for i in "${!remaining[@]}"; do
      [[ $on_chain == *" ${fingerprint[${remaining[$i]}]} "* ]] && continue
      issued_by "$current" "${remaining[$i]}" && { next=${remaining[$i]}; unset 'remaining[i]'; break; }
    done
    [[ -n "$next" ]] || break
    carried_chain+=("$next") current=$next on_chain+="${fingerprint[$next]} "
  done
  remaining=("${remaining[@]}")
  stray_certificate=${remaining[0]:-}
}

# Each unauthenticated attribute of the signer infos at SIGNER_INFOS, one a
# line: where its type lies ("offset length"), how many values it holds, and
# where the first lies ("offset length", header included).
unauthenticated_attributes() { # ELEMENTS SIGNER_INFOS
  awk -v s="$2" '
    $1 <= s {next}
    $2 == 5 {unauthenticated = ($5 == "cont[1]"); next}
    !unauthenticated {next}
    $2 == 6 {if (n++) print type, values, first; type = "-"; values = 0; first = "- -"}
    $2 == 7 && $5 == "OBJECT" {type = $1 " " $3 + $4}
    $2 == 8 && !values++ {first = $1 " " $3 + $4}
    END {if (n) print type, values, first}' "$1"
}

# The signer infos of the SignedData in ELEMENTS: its last field, at depth 3.
signer_infos_at() { # ELEMENTS
  awk '$2 == 3 {at = $1; type = $5} END {if (type == "SET") print at}' "$1"
}

# Bytes LENGTH at OFFSET of FILE, written to OUT.
cut_bytes() { # FILE OFFSET LENGTH OUT
  tail -c +"$(($2 + 1))" "$1" | head -c "$3" >"$4"
}

# The timestamp token at OFFSET (LENGTH bytes) of the signature SIG must be
# intact, must stamp the signature value at VALUE_OFFSET (VALUE_LENGTH bytes),
# must carry nothing its authority did not sign but the authority's own chain,
# and that authority must lead to a root in authenticode_tsa_roots. Sets
# AUTHENTICODE_TIMESTAMP to the authority's name.
# Whether the SignedData in ELEMENTS carries revocation lists, which its
# signer does not sign.
carries_revocation_lists() { # ELEMENTS
  awk '$2 == 3 && $5 == "cont[1]" {found = 1} END {exit !found}' "$1"
}

# walk_carried_chain over the certificates in CARRIED (PEM).
walk_carried_file() { # SIGNER CARRIED
  local carried
  mapfile -t carried < <(split_certificates "$2" "${2%.pem}")
  walk_carried_chain "$1" "${carried[@]}"
}

check_timestamp_token() { # SIG OFFSET LENGTH VALUE_OFFSET VALUE_LENGTH WORK_DIR
  local sig=$1 work=$6 token=$6/timestamp.der
  cut_bytes "$sig" "$2" "$3" "$token"
  cut_bytes "$sig" "$4" "$5" "$work/signature-value"
  openssl pkcs7 -inform DER -in "$token" -print_certs -out "$work/timestamp-carried.pem" 2>/dev/null
  grep -q -- '-----BEGIN CERTIFICATE-----' "$work/timestamp-carried.pem" 2>/dev/null ||
    { authenticode_fail "its timestamp carries no certificate that it could be checked with"; return 1; }
  if ! openssl ts -verify -token_in -in "$token" -data "$work/signature-value" -CAfile "$work/timestamp-carried.pem" \
      -partial_chain -no_check_time >/dev/null 2>&1 ||
    ! openssl smime -verify -noverify -inform DER -in "$token" -signer "$work/timestamp-signer.pem" -out /dev/null \
      >/dev/null 2>&1; then
    authenticode_fail "its timestamp is not intact, or was not made for this signature"
    return 1
  fi
  AUTHENTICODE_TIMESTAMP=$(subject_of "$work/timestamp-signer.pem")
  # Whoever asks for a timestamp chooses its nonce, which the authority signs
  # as given: osslsigncode asks with 8 bytes, and a long one is room for anything.
  local nonce
  nonce=$(openssl ts -reply -token_in -in "$token" -text 2>/dev/null | sed -n 's/^Nonce: 0x//p')
  if ((${#nonce} > 32)); then
    authenticode_fail "its timestamp's nonce is $((${#nonce} / 2)) bytes long, room for anything; no more than 16 are asked for"
    return 1
  fi
  if ! openssl ts -verify -token_in -in "$token" -data "$work/signature-value" -CAfile "$authenticode_tsa_roots" \
      -untrusted "$work/timestamp-carried.pem" -no_check_time >/dev/null 2>&1; then
    authenticode_fail "its timestamp's authority ($AUTHENTICODE_TIMESTAMP) does not lead to a root in $authenticode_tsa_roots"
    return 1
  fi
  local elements=$work/timestamp.elements token_signers
  asn1_elements "$token" >"$elements" ||
    { authenticode_fail "its timestamp is not in DER throughout, so it could hide what its authority did not sign"; return 1; }
  token_signers=$(signer_infos_at "$elements")
  if [[ -n "$(unauthenticated_attributes "$elements" "$token_signers")" ]] || carries_revocation_lists "$elements"; then
    authenticode_fail "its timestamp holds attributes or revocation lists that its authority did not sign"
    return 1
  fi
  walk_carried_file "$work/timestamp-signer.pem" "$work/timestamp-carried.pem"
  if [[ -n "$stray_certificate" ]]; then
    authenticode_fail "its timestamp carries a certificate that is neither its authority's nor an issuer on that chain: $(subject_of "$stray_certificate")"
    return 1
  fi
}

check_signature() { # FILE WORK_DIR
  local file=$1 work=$2
  local sig=$work/signature.der elements=$work/signature.elements
  AUTHENTICODE_REASON="" AUTHENTICODE_SIGNER=""
  # osslsigncode will not write over a file, and nothing of an earlier check may be taken for this one.
  rm -f "$sig" "$work/signer.pem" "$work/unsigned.exe" "$work/resigned.exe" "$work/timestamp.der"
  AUTHENTICODE_TIMESTAMP=""
  osslsigncode extract-signature -in "$file" -out "$sig" >"$work/extract.log" 2>&1 </dev/null ||
    { authenticode_fail "it carries no Authenticode signature that can be read"; return 2; }
  asn1_elements "$sig" >"$elements" ||
    { authenticode_fail "its signature is not in DER throughout, so it could hide what its signer did not sign"; return 1; }

  # SignedData's fields lie at depth 3: version, digest algorithms, the signed
  # content, certificates, revocation lists if any, and the signer infos last.
  local signer_infos signers
  signer_infos=$(signer_infos_at "$elements")
  [[ -n "$signer_infos" ]] || { authenticode_fail "its signature is not a PKCS #7 signature that can be read"; return 1; }
  signers=$(awk -v s="$signer_infos" '$1 > s && $2 == 4' "$elements" | wc -l)
  ((signers == 1)) || { authenticode_fail "its signature holds $signers signer infos, not one"; return 1; }
  if carries_revocation_lists "$elements"; then
    authenticode_fail "its signature carries revocation lists, which the signer did not sign"
    return 1
  fi
  local attributes attribute type_at type_length values value_at value_length oid
  mapfile -t attributes < <(unauthenticated_attributes "$elements" "$signer_infos")
  for attribute in "${attributes[@]}"; do
    read -r type_at type_length values value_at value_length <<<"$attribute"
    oid=$(hex_at "$sig" "$type_at" "$type_length")
    if [[ $oid == "$authenticode_nested_signature_oid" ]]; then
      authenticode_fail "its signature holds a nested signature (1.3.6.1.4.1.311.2.4.1)"
      return 1
    elif [[ $oid != "$authenticode_timestamp_oid" ]]; then
      authenticode_fail "its signature holds an unauthenticated attribute that is not an RFC 3161 timestamp ($(
        openssl asn1parse -inform DER -in "$sig" -offset "$type_at" -length "$type_length" | sed 's/.*://'))"
      return 1
    fi
  done
  if ((${#attributes[@]} > 1)); then
    authenticode_fail "its signature holds ${#attributes[@]} timestamps; one is all it may hold"
    return 1
  elif ((${#attributes[@]} == 1 && values != 1)); then
    authenticode_fail "its timestamp attribute holds $values values, not one token"
    return 1
  fi

  # What the signer signed, as Authenticode defines it: the SpcIndirectDataContent
  # without its own tag and length. The signer's signature over it must verify
  # with the signer certificate's key; the chain is another question.
  local content_at content_length
  read -r content_at content_length < <(awk '$2 == 3 {n++} n == 3 && $2 == 5 {print $1 + $3, $4; exit}' "$elements")
  [[ -n "$content_length" ]] || { authenticode_fail "its signature holds no signed content"; return 1; }
  cut_bytes "$sig" "$content_at" "$content_length" "$work/signed-content"
  if ! openssl smime -verify -noverify -binary -inform DER -in "$sig" -content "$work/signed-content" \
      -signer "$work/signer.pem" -out /dev/null >"$work/smime.log" 2>&1; then
    authenticode_fail "its signer's signature does not verify with the signer certificate's key"
    return 1
  fi
  AUTHENTICODE_SIGNER=$(subject_of "$work/signer.pem")

  # An RFC 3161 timestamp in Authenticode stamps the signer's signature value.
  if ((${#attributes[@]} == 1)); then
    local signature_value_at signature_value_length
    read -r signature_value_at signature_value_length < <(awk -v s="$signer_infos" \
      '$1 > s && $2 == 5 && $5 ~ /^OCTETSTRING/ {print $1 + $3, $4; exit}' "$elements")
    check_timestamp_token "$sig" "$value_at" "$value_length" "$signature_value_at" "$signature_value_length" "$work" ||
      return 1
  fi

  # The digest the signer signed must be the file's own.
  osslsigncode verify -ignore-crl -CAfile "$work/signer.pem" -TSA-CAfile "$work/signer.pem" -in "$file" \
    >"$work/digest.log" 2>&1 </dev/null || true
  local stored computed
  stored=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' "$work/digest.log" | head -n 1)
  computed=$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' "$work/digest.log" | head -n 1)
  if [[ -z "$stored" || "$stored" != "$computed" ]]; then
    authenticode_fail "it was changed after it was signed: its signature holds the digest ${stored:-(none)}, the file has ${computed:-(none)}"
    return 1
  fi

  # Certificates are carried unsigned: only the signer's chain belongs there.
  openssl pkcs7 -inform DER -in "$sig" -print_certs -out "$work/carried.pem" 2>/dev/null
  # check_chain starts from the top of the chain found here.
  walk_carried_file "$work/signer.pem" "$work/carried.pem"
  if [[ -n "$stray_certificate" ]]; then
    authenticode_fail "its signature carries a certificate that is neither the signer's nor an issuer on its chain: $(subject_of "$stray_certificate")"
    return 1
  fi
}

# Bytes of FILE and OTHER compared, as "first difference at byte N".
first_difference() { # FILE OTHER
  cmp "$1" "$2" 2>&1 | sed 's/.*differ: /first difference at /; s/, line [0-9]*//; s/^cmp: //'
  true
}

check_signed_build() { # FILE BUILT_PROGRAM WORK_DIR
  check_signature "$1" "$3" || return 1
  compare_with_build "$@"
}

compare_with_build() { # FILE BUILT_PROGRAM WORK_DIR
  local file=$1 built=$2 work=$3
  if ! osslsigncode remove-signature -in "$file" -out "$work/unsigned.exe" >"$work/remove.log" 2>&1 </dev/null; then
    authenticode_fail "its signature could not be removed"
    return 1
  fi
  if ! cmp -s "$work/unsigned.exe" "$built"; then
    authenticode_fail "without its signature it is not the build ($(first_difference "$work/unsigned.exe" "$built"))"
    return 1
  fi
  # What the digest leaves out (the header's checksum, padding, bytes after the
  # signature) must be what putting this signature on the build gives, too.
  # attach-signature checks the chain as well and fails without roots, but
  # writes the file all the same; the comparison is what counts.
  osslsigncode attach-signature -sigin "$work/signature.der" -in "$built" -out "$work/resigned.exe" \
    >"$work/attach.log" 2>&1 </dev/null || true
  if ! cmp -s "$work/resigned.exe" "$file"; then
    authenticode_fail "it holds bytes that its signature does not account for ($(first_difference "$file" "$work/resigned.exe") from the build with the same signature)"
    return 1
  fi
}

check_chain() { # FILE ROOTS WORK_DIR [CRL]
  local file=$1 roots=$2 work=$3 crl=${4:-}
  AUTHENTICODE_CHAIN=""
  local top=${carried_chain[-1]} verdict
  if osslsigncode verify -ignore-crl -CAfile "$roots" ${crl:+-CRLfile "$crl"} \
      -TSA-CAfile "$authenticode_tsa_roots" -in "$file" >"$work/chain.log" 2>&1 </dev/null; then
    local root="" candidate candidates
    if self_issued "$top"; then
      root=$(subject_of "$top")
    else
      mapfile -t candidates < <(split_certificates "$roots" "$work/root")
      for candidate in "${candidates[@]}"; do
        issued_by "$top" "$candidate" && { root=$(subject_of "$candidate"); break; }
      done
    fi
    AUTHENTICODE_CHAIN="leads to the root ${root:-that issued $(subject_of "$top")}"
    return 0
  fi
  # The signer's chain is reported after the timestamp's, when there is one.
  local from
  from=$(grep -n -m 1 '^Timestamp Server Signature verification' "$work/chain.log" | cut -d: -f1)
  verdict=$(sed -n "${from:-1},\$ s/^[[:space:]]*Error: //p" "$work/chain.log" | head -n 1)
  grep -q "^Unsupported Signer's certificate purpose" "$work/chain.log" && verdict="the signer's certificate is not for code signing"
  if [[ -n "$verdict" && "$verdict" != *issuer* && "$verdict" != *self-signed* ]]; then
    AUTHENTICODE_CHAIN="does not verify ($verdict)"
  elif self_issued "$top"; then
    AUTHENTICODE_CHAIN="stops at $(subject_of "$top"), a root not among them"
  else
    AUTHENTICODE_CHAIN="stops at $(issuer_of "$top"), the issuer of $(subject_of "$top"), whose certificate is neither carried nor among them"
  fi
  authenticode_fail "its certificate chain, checked against the roots in $roots, $AUTHENTICODE_CHAIN"
}
