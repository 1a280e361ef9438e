#!/bin/sh
# Re-creates the captures of this folder with openssl s_server / s_client on 127.0.0.1 through
# capture_relay.py. Run from this folder: sh capture.sh. Needs openssl and python3.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
# KEEP=1 keeps the keys and logs in the work folder.
trap 'kill $(jobs -p) 2>/dev/null || true; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cd "$work"

# A small CA and a leaf it signs, so that issuer and subject common names differ.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
    -subj "/C=GB/O=Wexo Test/CN=Wexo Capture Test CA" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr \
    -subj "/C=GB/O=Wexo Test/OU=Filter/CN=capture.wexo-test.example" 2>/dev/null
printf 'subjectAltName=DNS:capture.wexo-test.example\n' > ext.cnf
openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out leaf.pem \
    -days 3650 -extfile ext.cnf 2>/dev/null
# Without extensions openssl issues a version 1 certificate, which has no version element.
openssl req -newkey rsa:2048 -nodes -keyout v1.key -out v1.csr \
    -subj "/O=Wexo Test/CN=version1.wexo-test.example" 2>/dev/null
openssl x509 -req -in v1.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 -outform DER \
    -out v1.der 2>/dev/null

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# start_server ACCEPTS SERVER_ARGS: an s_server for ACCEPTS connections on a free port.
start_server() {
    port=$(free_port)
    # s_server ends when its input ends, so it reads from a pipe that stays open.
    # shellcheck disable=SC2086
    sleep 30 | openssl s_server -accept "127.0.0.1:$port" -cert leaf.pem -key leaf.key \
        -cert_chain ca.pem -naccept "$1" $2 > "server_$port.log" 2>&1 &
    server_pid=$!
    sleep 0.5
}

# capture NAME CLIENT_ARGS: one connection to the current server through the relay.
capture() {
    rm -f relay.port
    python3 "$here/capture_relay.py" relay.port "$port" "$1" &
    relay_pid=$!
    while [ ! -s relay.port ]; do sleep 0.1; done
    # shellcheck disable=SC2086
    (sleep 1; printf 'Q\n') | openssl s_client -connect "127.0.0.1:$(cat relay.port)" \
        -CAfile ca.pem $2 > "client_$1.log" 2>&1 || true
    wait $relay_pid || true
}

stop_server() {
    kill $server_pid 2>/dev/null || true
    wait $server_pid 2>/dev/null || true
}

# Session-ID resumption needs the server's session cache: both connections go to one server, and
# without tickets the resumed hello offers the session ID that the server then echoes.
start_server 2 "-no_ticket"
capture tls12 "-tls1_2 -servername capture.wexo-test.example -sess_out tls12.sess"
capture tls12_resumed "-tls1_2 -servername capture.wexo-test.example -sess_in tls12.sess"
stop_server
start_server 2 ""
capture tls13 "-tls1_3 -servername capture.wexo-test.example"
# -bugs turns on the padding extension, which brings the hello to 512 bytes as browsers send it.
capture padded "-alpn h2,http/1.1 -bugs -servername www.capture.wexo-test.example"
stop_server

cp tls12.0.c2s.bin "$here/tls12_client_hello.bin"
cp tls12.1.s2c.bin "$here/tls12_server_flight.bin"
cp tls12_resumed.0.c2s.bin "$here/tls12_resumed_client_hello.bin"
cp tls12_resumed.1.s2c.bin "$here/tls12_resumed_server_flight.bin"
cp tls13.0.c2s.bin "$here/tls13_client_hello.bin"
cp tls13.1.s2c.bin "$here/tls13_server_flight.bin"
cp padded.0.c2s.bin "$here/padded_client_hello.bin"
cp v1.der "$here/v1_certificate.der"
grep -H -E '^(Reused|New),' client_*.log
