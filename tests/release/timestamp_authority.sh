# Sourced by the release tests. A local RFC 3161 timestamp authority, so that
# timestamped signing is tested without a network: `openssl ts -reply` behind
# a small HTTP server on 127.0.0.1, with a throwaway root of its own (apart
# from the code-signing one, as a real authority's would be).
#
#   tsa_start DIR   makes the authority's root and certificate in DIR, starts
#                   the server on a free port, and sets TSA_URL, TSA_PID and
#                   TSA_ROOT (the root to pass to `osslsigncode verify
#                   -TSA-CAfile`); also writes them to DIR/url, DIR/pid.
#   tsa_stop DIR    ends the server that tsa_start DIR started, by its PID.

# The server answers each POSTed timestamp query with openssl's reply; it
# writes its port to the file named second once it listens, so that the port
# is chosen by the kernel and never collides.
tsa_server_program='
import http.server, subprocess, sys
config, port_file = sys.argv[1], sys.argv[2]
class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin"],
                               input=query, capture_output=True)
        if reply.returncode != 0 or not reply.stdout:
            sys.stderr.write(reply.stderr.decode(errors="replace"))
            self.send_error(500, "openssl ts -reply failed")
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
with open(port_file + ".new", "w") as f:
    f.write(str(server.server_address[1]))
import os; os.rename(port_file + ".new", port_file)
server.serve_forever()
'

tsa_start() { # DIR
  local dir
  dir=$(realpath -m "$1")
  mkdir -p "$dir"
  (
    cd "$dir" &&
      openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 \
        -subj "/CN=Throwaway Timestamp Root" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign &&
      openssl req -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr -subj "/CN=Throwaway Timestamp Authority" &&
      printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\nextendedKeyUsage=critical,timeStamping\n' >tsa.ext &&
      openssl x509 -req -in tsa.csr -CA root.pem -CAkey root.key -CAcreateserial -days 2 -extfile tsa.ext -out tsa.pem
  ) >"$dir/openssl.log" 2>&1 || { echo "tsa_start: could not make the authority's certificates; see $dir/openssl.log" >&2; return 1; }
  # ESSCertIDv2 with SHA-256 names the signer as current verifiers expect; the
  # token carries the authority's certificate alone, its root being the verifier's.
  cat >"$dir/tsa.cnf" <<EOF
[ tsa ]
default_tsa = authority
[ authority ]
dir = $dir
serial = \$dir/serial
crypto_device = builtin
signer_cert = \$dir/tsa.pem
signer_key = \$dir/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
  echo 01 >"$dir/serial"
  rm -f "$dir/port"
  /usr/bin/python3 -c "$tsa_server_program" "$dir/tsa.cnf" "$dir/port" </dev/null >"$dir/server.log" 2>&1 &
  TSA_PID=$!
  echo "$TSA_PID" >"$dir/pid"
  local tries=0
  until [[ -s "$dir/port" ]]; do
    if ! kill -0 "$TSA_PID" 2>/dev/null || ((++tries > 100)); then
      echo "tsa_start: the server did not start; see $dir/server.log" >&2
      tsa_stop "$dir"
      return 1
    fi
    sleep 0.05
  done
  TSA_URL="http://127.0.0.1:$(cat "$dir/port")"
  TSA_ROOT="$dir/root.pem"
  echo "$TSA_URL" >"$dir/url"
}

tsa_stop() { # DIR
  # By the PID this shell started, which no later run can take away; the file
  # is for a stop from elsewhere.
  local pid=${TSA_PID:-}
  [[ -n "$pid" ]] || pid=$(cat "$1/pid" 2>/dev/null) || return 0
  kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -f "$1/pid"
  TSA_PID=""
  return 0
}
