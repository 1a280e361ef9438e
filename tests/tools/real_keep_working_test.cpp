// Real traffic that must keep working with the filter in the way: the whole product in two network
// namespaces of the test's own (tools/pipeline/namespace_product), real clients (curl, Python,
// Node) in the client's and real origins in the server's, on allowed hosts. Each case checks that
// what one end sent arrived whole at the other, both ways.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tools/peers/child_process.h"
#include "tools/peers/peer_tls.h"
#include "tools/pipeline/namespace_product.h"

namespace {

using std::chrono::seconds;
using wexo::peers::CHILD_PROCESS;
using wexo::peers::CountOccurrences;
using wexo::peers::NETWORK_NAMESPACES;
using wexo::pipeline::NAMESPACE_PRODUCT;
using SIDE = NAMESPACE_PRODUCT::SIDE;

// What the origin scripts read streams with: exactly `size` bytes, or up to a marker; the rest
// is kept for the next read.
constexpr char kStreamReaders[] = R"PY(
def exact(conn, rest, size):
    while len(rest) < size:
        data = conn.recv(65536)
        if not data:
            raise EOFError
        rest += data
    return rest[:size], rest[size:]
def until(conn, rest, end):
    while end not in rest:
        data = conn.recv(65536)
        if not data:
            raise EOFError
        rest += data
    return rest.split(end, 1)
)PY";

// An origin on 192.0.2.2 (its port the argument) for what holds a connection open: WebSocket and a
// line protocol of its own after a 101, long polls answered when another connection publishes,
// and a chunked stream whose next piece waits until the client said it has the one before.
constexpr char kOrigin[] = R"PY(
import base64, hashlib, socket, sys, threading
published, acks, news = threading.Event(), [threading.Event() for _ in range(5)], []
def answer(conn, body):
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
def frame(payload, opcode=2):
    size = len(payload)
    length = (bytes([size]) if size < 126 else b"\x7e" + size.to_bytes(2, "big") if size < 65536
              else b"\x7f" + size.to_bytes(8, "big"))
    return bytes([0x80 | opcode]) + length + payload
def websocket(conn, fields, rest):
    accept = base64.b64encode(hashlib.sha1(
        fields["sec-websocket-key"].encode() + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
    # The first message goes in the 101's own segment, as many servers send it.
    conn.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                 b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n" +
                 frame(b"welcome", 1))
    while True:
        top, rest = exact(conn, rest, 2)
        size = top[1] & 0x7F
        if size >= 126:
            extended, rest = exact(conn, rest, 2 if size == 126 else 8)
            size = int.from_bytes(extended, "big")
        mask, rest = exact(conn, rest, 4)
        payload, rest = exact(conn, rest, size)
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        if top[0] & 0x0F == 8:
            return conn.sendall(frame(payload, 8))
        conn.sendall(frame(hashlib.sha256(payload).hexdigest().encode() + payload[::-1]))
def line_chat(conn, rest):
    conn.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: line-chat\r\n"
                 b"Connection: Upgrade\r\n\r\n")
    while True:
        line, rest = until(conn, rest, b"\n")
        conn.sendall(b"BYE\n" if line == b"BYE" else b"ECHO " + line + b"\n")
def serve(conn):
    rest = b""
    with conn:
        while True:
            head, rest = until(conn, rest, b"\r\n\r\n")
            lines = head.decode("latin-1").split("\r\n")
            fields = {k.strip().lower(): v.strip() for k, v in (l.split(":", 1) for l in lines[1:])}
            body, rest = exact(conn, rest, int(fields.get("content-length", 0)))
            path = lines[0].split(" ")[1]
            if fields.get("upgrade") == "websocket":
                return websocket(conn, fields, rest)
            if fields.get("upgrade") == "line-chat":
                return line_chat(conn, rest)
            if path == "/poll":
                answer(conn, b"news: " + news[0] if published.wait(10) else b"nothing")
            elif path == "/publish":
                news.append(body)
                published.set()
                answer(conn, b"published")
            elif path == "/stream":
                conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
                for i, ack in enumerate(acks):
                    piece = b"piece %d" % i
                    conn.sendall(b"%x\r\n%s\r\n" % (len(piece), piece))
                    if not ack.wait(10):
                        break
                conn.sendall(b"0\r\n\r\n")
            elif path.startswith("/ack/"):
                acks[int(path[5:])].set()
                answer(conn, b"acked")
def run(conn):
    try:
        serve(conn)
    except (EOFError, OSError):
        pass
listener = socket.create_server(("192.0.2.2", int(sys.argv[1])))
print("ready", flush=True)
while True:
    threading.Thread(target=run, args=(listener.accept()[0],), daemon=True).start()
)PY";

// The client of that origin: `mode host port [proxy]`, straight to 192.0.2.2 or through a CONNECT
// proxy ("address:port"). It prints what it got, one line each.
constexpr char kClient[] = R"PY(
import base64, hashlib, os, socket, sys
mode, host, port = sys.argv[1], sys.argv[2].encode(), int(sys.argv[3])
proxy = sys.argv[4] if len(sys.argv) > 4 else None
def exact(sock, rest, size):
    while len(rest) < size:
        rest += sock.recv(65536) or sys.exit("closed")
    return rest[:size], rest[size:]
def until(sock, rest, end):
    while end not in rest:
        rest += sock.recv(65536) or sys.exit("closed")
    return rest.split(end, 1)
def connect(early=b""):
    if not proxy:
        return socket.create_connection(("192.0.2.2", port), timeout=10), b""
    address, number = proxy.rsplit(":", 1)
    sock = socket.create_connection((address, int(number)), timeout=10)
    # What a client sends behind the CONNECT may share its segment.
    sock.sendall(b"CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n\r\n%s"
                 % (host, port, host, port, early))
    head, rest = until(sock, b"", b"\r\n\r\n")
    print(head.split(b"\r\n")[0].decode())
    return sock, rest
def response(sock, rest):
    head, rest = until(sock, rest, b"\r\n\r\n")
    size = int(head.lower().split(b"content-length:")[1].split(b"\r\n")[0])
    return exact(sock, rest, size)
def request(sock, rest, method, path, body=b""):
    sock.sendall(b"%s %s HTTP/1.1\r\nHost: %s\r\nContent-Length: %d\r\n\r\n%s"
                 % (method, path, host, len(body), body))
    return response(sock, rest)
if mode == "behind-connect":
    sock, rest = connect(b"GET /index.html HTTP/1.1\r\nHost: %s\r\n\r\n" % host)
    print(response(sock, rest)[0].decode())
elif mode == "websocket":
    sock, rest = connect()
    key = base64.b64encode(os.urandom(16))
    sock.sendall(b"GET /chat HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 b"Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (host, key))
    head, rest = until(sock, rest, b"\r\n\r\n")
    print(head.split(b"\r\n")[0].decode())
    expected = base64.b64encode(
        hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
    print("accept", "matches" if expected in head else "differs")
    def receive(rest):
        top, rest = exact(sock, rest, 2)
        size = top[1] & 0x7F
        if size >= 126:
            extended, rest = exact(sock, rest, 2 if size == 126 else 8)
            size = int.from_bytes(extended, "big")
        payload, rest = exact(sock, rest, size)
        return top[0] & 0x0F, payload, rest
    def send(payload, opcode=2):
        mask, size = os.urandom(4), len(payload)
        length = (bytes([0x80 | size]) if size < 126 else b"\xfe" + size.to_bytes(2, "big")
                  if size < 65536 else b"\xff" + size.to_bytes(8, "big"))
        sock.sendall(bytes([0x80 | opcode]) + length + mask +
                     bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
    opcode, payload, rest = receive(rest)
    print(payload.decode())
    # Each length form of a frame: 7 bits, 16 bits and 64 bits.
    for size in (5, 300, 70000):
        sent = os.urandom(size)
        send(sent)
        opcode, payload, rest = receive(rest)
        print(size, "intact" if payload == hashlib.sha256(sent).hexdigest().encode() + sent[::-1]
              else "changed")
    send(b"\x03\xe8", 8)
    print("closed" if receive(rest)[0] == 8 else "no close")
elif mode == "line-chat":
    sock, rest = connect()
    sock.sendall(b"GET /chat HTTP/1.1\r\nHost: %s\r\nUpgrade: line-chat\r\n"
                 b"Connection: Upgrade\r\n\r\n" % host)
    head, rest = until(sock, rest, b"\r\n\r\n")
    print(head.split(b"\r\n")[0].decode())
    for line in (b"HELLO there", b"PING 1", b"GET / HTTP/1.0", b"BYE"):
        sock.sendall(line + b"\n")
        line, rest = until(sock, rest, b"\n")
        print(line.decode())
elif mode == "long-poll":
    sock, rest = connect()
    sock.sendall(b"GET /poll HTTP/1.1\r\nHost: %s\r\n\r\n" % host)
    sock.settimeout(0.3)
    try:
        early = sock.recv(100)
    except socket.timeout:
        early = b""
    sock.settimeout(10)
    print("held" if not early else "answered before anything was published")
    print(request(*connect(), b"POST", b"/publish", b"the news")[0].decode())
    body, rest = response(sock, rest + early)
    print(body.decode())
    # The next poll goes on the same connection.
    print(request(sock, rest, b"GET", b"/poll")[0].decode())
elif mode == "stream":
    sock, rest = connect()
    sock.sendall(b"GET /stream HTTP/1.1\r\nHost: %s\r\n\r\n" % host)
    head, rest = until(sock, rest, b"\r\n\r\n")
    print(head.split(b"\r\n")[0].decode())
    while True:
        size, rest = until(sock, rest, b"\r\n")
        piece, rest = exact(sock, rest, int(size, 16) + 2)
        if int(size, 16) == 0:
            break
        print(piece.decode().strip())
        request(*connect(), b"GET", b"/ack/" + piece.split()[1])
)PY";

// A CONNECT proxy on 192.0.2.2 (its port the argument) that opens the port asked for on the same
// address, whatever the host, and passes on what the client sent behind its CONNECT.
constexpr char kProxy[] = R"PY(
import socket, socketserver, sys, threading
def copy(source, sink):
    try:
        while data := source.recv(65536):
            sink.sendall(data)
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass
class Tunnel(socketserver.BaseRequestHandler):
    def handle(self):
        head = b""
        while b"\r\n\r\n" not in head:
            data = self.request.recv(4096)
            if not data:
                return
            head += data
        head, early = head.split(b"\r\n\r\n", 1)
        try:
            port = int(head.split(b" ")[1].rsplit(b":", 1)[1])
            upstream = socket.create_connection(("192.0.2.2", port))
        except OSError:
            return self.request.sendall(b"HTTP/1.1 502 Bad Gateway\r\n\r\n")
        with upstream:
            self.request.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            upstream.sendall(early)
            back = threading.Thread(target=copy, args=(upstream, self.request))
            back.start()
            copy(self.request, upstream)
            back.join()
socketserver.ThreadingTCPServer.allow_reuse_address = True
socketserver.ThreadingTCPServer.daemon_threads = True
server = socketserver.ThreadingTCPServer(("192.0.2.2", int(sys.argv[1])), Tunnel)
print("ready", flush=True)
server.serve_forever()
)PY";

// An HTTP/2 origin on 192.0.2.2: over TLS (the first port) and in the clear with prior knowledge
// (the second), key and certificate from the folder given. Each stream's answer names its path,
// and the SHA-256 of a body it was sent; answers end out of order. Every new connection prints
// "session".
constexpr char kHttp2Origin[] = R"JS(
const http2 = require("http2"), fs = require("fs"), crypto = require("crypto");
const [tlsPort, plainPort, dir] = process.argv.slice(1);
const tls = {key: fs.readFileSync(dir + "/key.pem"), cert: fs.readFileSync(dir + "/cert.pem")};
let listening = 0;
const servers = [[http2.createSecureServer(tls), tlsPort], [http2.createServer(), plainPort]];
for (const [server, port] of servers) {
  server.on("session", () => console.log("session"));
  server.on("stream", (stream, headers) => {
    const hash = crypto.createHash("sha256");
    let bytes = 0;
    stream.on("data", (piece) => { hash.update(piece); bytes += piece.length; });
    stream.on("end", () => {
      stream.respond({":status": 200, "content-type": "text/plain"});
      const answer = headers[":path"] + " answered" + (bytes ? " " + hash.digest("hex") : "");
      setTimeout(() => stream.end(answer + "\n"), Math.random() * 50);
    });
  });
  server.listen(+port, "192.0.2.2", () => { if (++listening === 2) console.log("ready"); });
}
)JS";

// An HTTP/2 client with prior knowledge: `origin authority count size` streams at once on one
// session, each with a header of its own so that the header compression's table keeps changing,
// and a random body of `size` bytes on each when it is not 0.
constexpr char kHttp2Client[] = R"JS(
const http2 = require("http2"), crypto = require("crypto");
const [origin, authority, count, size] = process.argv.slice(1);
const session = http2.connect(origin);
session.on("error", (error) => { console.log("session error " + error.message); process.exit(1); });
let answered = 0, pending = +count;
for (let i = 0; i < +count; i++) {
  const sent = crypto.randomBytes(+size);
  const request = session.request({":method": +size ? "POST" : "GET", ":path": "/item/" + i,
                                   ":authority": authority, "x-stream": "s".repeat(i)});
  let body = "";
  request.setEncoding("utf8");
  request.on("data", (piece) => body += piece);
  request.on("end", () => {
    const hash = +size ? " " + crypto.createHash("sha256").update(sent).digest("hex") : "";
    if (body === "/item/" + i + " answered" + hash + "\n") answered++;
    else console.log("stream " + i + " got " + JSON.stringify(body));
    if (--pending === 0) { console.log(answered + " answered"); session.close(); }
  });
  // A GET's stream ends with its headers.
  if (+size) request.end(sent);
}
)JS";

// Protocols that are neither HTTP nor TLS, on 192.0.2.2 ports 80 and 443: "banner" (the server
// speaks first, a mail server's dialogue), "binary" (the client speaks first, length-prefixed
// binary messages) and "ssh" (the client's text version line first, then binary messages).
constexpr char kOpaqueServer[] = R"PY(
import hashlib, socket, sys, threading
protocol = sys.argv[1]
def serve(conn):
    rest = b""
    if protocol == "banner":
        conn.sendall(b"220 mail.example.test ESMTP ready\r\n")
        while True:
            line, rest = until(conn, rest, b"\r\n")
            if line.startswith(b"DATA "):
                data, rest = exact(conn, rest, int(line[5:]))
                conn.sendall(b"250 " + hashlib.sha256(data).hexdigest().encode() + b"\r\n")
            elif line == b"QUIT":
                return conn.sendall(b"221 bye\r\n")
            else:
                conn.sendall(b"250 hello " + line.split(b" ")[-1] + b"\r\n")
    if protocol == "ssh":
        line, rest = until(conn, rest, b"\r\n")
        conn.sendall(b"SSH-2.0-Origin_1.0\r\n")
    while True:
        length, rest = exact(conn, rest, 4)
        data, rest = exact(conn, rest, int.from_bytes(length, "big"))
        reply = hashlib.sha256(data).digest() + data[::-1]
        conn.sendall(len(reply).to_bytes(4, "big") + reply)
def run(conn):
    with conn:
        try:
            serve(conn)
        except (EOFError, OSError):
            pass
for port in (80, 443):
    listener = socket.create_server(("192.0.2.2", port))
    threading.Thread(target=lambda l=listener: [threading.Thread(target=run, args=(l.accept()[0],),
                     daemon=True).start() for _ in iter(int, 1)], daemon=True).start()
print("ready", flush=True)
threading.Event().wait()
)PY";

constexpr char kOpaqueClient[] = R"PY(
import hashlib, os, socket, sys
protocol, port = sys.argv[1], int(sys.argv[2])
sock = socket.create_connection(("192.0.2.2", port), timeout=10)
def exact(rest, size):
    while len(rest) < size:
        rest += sock.recv(65536) or sys.exit("closed")
    return rest[:size], rest[size:]
def until(rest, end):
    while end not in rest:
        rest += sock.recv(65536) or sys.exit("closed")
    return rest.split(end, 1)
rest = b""
if protocol == "banner":
    line, rest = until(rest, b"\r\n")
    print(line.decode())
    sock.sendall(b"EHLO client.example.test\r\n")
    line, rest = until(rest, b"\r\n")
    print(line.decode())
    data = os.urandom(100000)
    sock.sendall(b"DATA %d\r\n" % len(data) + data)
    line, rest = until(rest, b"\r\n")
    sent = b"250 " + hashlib.sha256(data).hexdigest().encode()
    print("data", "intact" if line == sent else "changed")
    sock.sendall(b"QUIT\r\n")
    print(until(rest, b"\r\n")[0].decode())
    sys.exit(0)
if protocol == "ssh":
    sock.sendall(b"SSH-2.0-KeepWorking_1.0\r\n")
    line, rest = until(rest, b"\r\n")
    print(line.decode())
for size in (3, 100000):
    data = os.urandom(size)
    sock.sendall(len(data).to_bytes(4, "big") + data)
    length, rest = exact(rest, 4)
    reply, rest = exact(rest, int.from_bytes(length, "big"))
    print(size, "intact" if reply == hashlib.sha256(data).digest() + data[::-1] else "changed")
)PY";

// A real TLS client (Python's ssl on memory buffers) whose client hello is framed as the argument
// says before it goes out, then asks for /index.html on 192.0.2.2:443. The host name is resolved
// through the namespace's DNS, as an honest client does; "nameless" sends no server name.
constexpr char kReframedHello[] = R"PY(
import socket, ssl, sys, time
host, framing = sys.argv[1], sys.argv[2]
def records(body, sizes, versions=(b"\x03\x01",), empty=False):
    out, i = [], 0
    while body:
        size = sizes[min(i, len(sizes) - 1)]
        part, body = body[:size], body[size:]
        out += [b"\x16\x03\x01\x00\x00"] if empty else []
        out.append(b"\x16" + versions[i % len(versions)] + len(part).to_bytes(2, "big") + part)
        i += 1
    return out
FRAMINGS = {
    # The 4-byte handshake header itself cut in two records.
    "header-split": lambda b: records(b, [1, 3, 40, len(b)]),
    "record-versions": lambda b: records(b, [100], [bytes([3, minor]) for minor in range(5)]),
    "empty-records": lambda b: records(b, [64], empty=True),
    # Each record in a segment of its own (below).
    "segments": lambda b: records(b, [90]),
    "tls1.2-split": lambda b: records(b, [5, 200]),
    "nameless": lambda b: records(b, [len(b)]),
    "nameless-tls1.2": lambda b: records(b, [len(b)]),
}
context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
context.check_hostname = False
context.verify_mode = ssl.CERT_NONE
if "tls1.2" in framing:
    context.maximum_version = ssl.TLSVersion.TLSv1_2
sock = socket.create_connection((socket.gethostbyname(host), 443), timeout=10)
sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
tls = context.wrap_bio(incoming, outgoing, server_hostname=None if "nameless" in framing else host)
def pump(call):
    while True:
        try:
            result = call()
        except ssl.SSLWantReadError:
            sock.sendall(outgoing.read())
            data = sock.recv(65536)
            if not data:
                raise ConnectionError("closed")
            incoming.write(data)
            continue
        sock.sendall(outgoing.read())
        return result
try:
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    hello = outgoing.read()
    assert hello[0] == 22 and int.from_bytes(hello[3:5], "big") == len(hello) - 5
    for record in FRAMINGS[framing](hello[5:]):
        sock.sendall(record)
        if framing == "segments":
            time.sleep(0.02)
    pump(tls.do_handshake)
    tls.write(b"GET /index.html HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % host.encode())
    answer = b""
    try:
        while data := pump(lambda: tls.read(65536)):
            answer += data
    except (ssl.SSLZeroReturnError, ConnectionError):
        pass
    head, _, body = answer.partition(b"\r\n\r\n")
    print(tls.version(), head.split(b"\r\n")[0].decode(), body.decode())
except (OSError, ssl.SSLError, ConnectionError) as error:
    print("failed:", error)
)PY";

class RealKeepWorkingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!NAMESPACE_PRODUCT::Available(&why)) {
            GTEST_SKIP() << "the product cannot filter a real network here: " << why;
        }
        if (NETWORK_NAMESPACES::FindProgram("python3").empty()) {
            GTEST_SKIP() << "python3 is not installed";
        }
        product_ = std::make_unique<NAMESPACE_PRODUCT>();
        // The driver's debugger lines go to the host's output, for a failure to show (the host
        // inherits the variable; later tests in this process do not).
        setenv("WEXO_KERNEL_DEBUGGER", "1", 1);
        const bool started = product_->Start("[rules]\nblock host games.example\n", &why);
        unsetenv("WEXO_KERNEL_DEBUGGER");
        ASSERT_TRUE(started) << why;
    }

    // A server in the server's namespace, once it said "ready"; null (and a failure) otherwise.
    std::unique_ptr<CHILD_PROCESS> Serve(const std::vector<std::string>& command) {
        auto server = product_->Namespaces().Start(SIDE::Server, command);
        if (!server || !server->ReadUntil("ready", seconds(10))) {
            ADD_FAILURE() << "did not start: " << command[0] << " "
                          << (server ? server->Output() : "");
            return nullptr;
        }
        return server;
    }
    // A client in the client's namespace: its output and errors.
    std::string Client(const std::vector<std::string>& command) {
        std::string out;
        product_->Namespaces().Run(SIDE::Client, command, &out, seconds(60));
        return out;
    }
    std::string Curl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"curl", "-sk", "--max-time", "30"});
        return Client(arguments);
    }
    // curl's status for a URL of the blocked host: "302" (the block page) or "000" (cut). Each
    // test asks one on the ports it uses, so that none passes with the product out of the way.
    std::string BlockedStatus(const std::string& url, int port) {
        return Curl({"--resolve", "games.example:" + std::to_string(port) + ":192.0.2.2", "-o",
                     "/dev/null", "-w", "%{http_code}", url});
    }
    // What the driver host wrote, for a failure's message: its last lines.
    std::string Evidence() {
        const std::string log = product_->Host()->Output();
        return "\nthe host's last output:\n" +
               log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
    }

    std::unique_ptr<NAMESPACE_PRODUCT> product_;
};

// After a 101 the connection is the application's: WebSocket messages of every length form, and a
// line protocol of its own whose lines look like a request head, both ways; straight and inside an
// allowed CONNECT tunnel, whose other contents (TLS, kept-alive HTTP, a request in the CONNECT's
// own segment) load too.
TEST_F(RealKeepWorkingTest, UpgradedAndTunnelledConnectionsCarryTheApplicationBothWays) {
    auto origin = Serve({"python3", "-c", std::string(kStreamReaders) + kOrigin, "8080"});
    auto proxy = Serve({"python3", "-c", kProxy, "3128"});
    ASSERT_TRUE(origin && proxy);
    EXPECT_EQ(BlockedStatus("http://games.example:8080/chat", 8080), "302");
    const std::string websocket =
        "HTTP/1.1 101 Switching Protocols\naccept matches\nwelcome\n5 intact\n300 intact\n"
        "70000 intact\nclosed\n";
    const std::string tunnel = "HTTP/1.1 200 Connection established\n";
    struct CASE {
        std::vector<std::string> arguments;
        std::string expected;
    } cases[] = {
        {{"websocket", "www.example.test", "8080"}, websocket},
        {{"line-chat", "mail.example.test", "8080"},
         "HTTP/1.1 101 Switching Protocols\nECHO HELLO there\nECHO PING 1\nECHO GET / HTTP/1.0\n"
         "BYE\n"},
        {{"websocket", "news.example", "8080", "192.0.2.2:3128"}, tunnel + websocket},
        {{"behind-connect", "www.example.test", "80", "192.0.2.2:3128"}, tunnel + "the page\n"},
    };
    for (const CASE& c : cases) {
        std::vector<std::string> command = {"python3", "-c", kClient};
        command.insert(command.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(Client(command), c.expected)
            << ::testing::PrintToString(c.arguments) << Evidence();
    }
    EXPECT_EQ(product_->Web().RequestCount("GET", "/index.html"), 1u);

    // curl through the proxy: TLS and HTTP/1.1 inside, and two requests on one kept-alive tunnel.
    const std::string written = "%{http_code} %{num_connects} %{size_download}\n";
    EXPECT_EQ(Curl({"-p", "-x", "192.0.2.2:3128", "-w", written, "-o", "/dev/null",
                    "https://mail.example.test/index.html"}),
              "200 1 8\n")
        << Evidence();
    EXPECT_EQ(product_->Secure().RequestCount("GET", "/index.html"), 1u);
    EXPECT_EQ(Curl({"-p", "-x", "192.0.2.2:3128", "-w", written, "-o", "/dev/null", "-o",
                    "/dev/null", "http://news.example/index.html", "http://news.example/play"}),
              "200 1 8\n200 0 8\n")
        << Evidence();
    EXPECT_EQ(product_->Web().RequestCount("GET", "/play"), 1u);
}

// A long poll held until another connection publishes, then the next poll on the same connection;
// a stream whose every piece comes while the response is still open (the origin sends the next
// only once the client acknowledged the last, so one held back whole would never end); 20 MiB
// uploads, sized and chunked, over HTTP and HTTPS, each followed by a request on its connection.
TEST_F(RealKeepWorkingTest, LongPollsStreamsAndLargeUploadsArriveWhole) {
    auto origin = Serve({"python3", "-c", std::string(kStreamReaders) + kOrigin, "8080"});
    ASSERT_TRUE(origin);
    EXPECT_EQ(BlockedStatus("http://games.example:8080/stream", 8080), "302");
    EXPECT_EQ(Client({"python3", "-c", kClient, "long-poll", "www.example.test", "8080"}),
              "held\npublished\nnews: the news\nnews: the news\n")
        << Evidence();
    EXPECT_EQ(Client({"python3", "-c", kClient, "stream", "news.example", "8080"}),
              "HTTP/1.1 200 OK\npiece 0\npiece 1\npiece 2\npiece 3\npiece 4\n")
        << Evidence();

    std::string data(20u << 20, '\0');
    std::mt19937 random(33);
    for (char& byte : data) {
        byte = static_cast<char>(random());
    }
    const std::string file = product_->RuntimeDir() + "/upload.bin";
    std::ofstream(file, std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
    struct CASE {
        const char* base;
        bool chunked;
    } cases[] = {{"http://www.example.test", false},
                 {"http://www.example.test", true},
                 {"https://mail.example.test", false},
                 {"https://mail.example.test", true}};
    const std::string written = "%{http_code} %{num_connects}\n";
    for (const CASE& c : cases) {
        const std::string base = c.base;
        wexo::peers::HttpPeer& peer = base[4] == 's' ? product_->Secure() : product_->Web();
        const std::string host = base.substr(base.find("//") + 2);
        const std::string resolve = host + (base[4] == 's' ? ":443" : ":80") + ":192.0.2.2";
        peer.Reply("POST", "/upload", 200, "stored");
        peer.ClearRequests();
        std::vector<std::string> upload = {"--resolve", resolve, "-o", "/dev/null", "-w", written};
        // curl sends "Expect: 100-continue" for a body this large and waits for the 100.
        upload.insert(upload.end(), {"-H", "Content-Type: application/octet-stream"});
        if (c.chunked) {
            upload.insert(upload.end(), {"-H", "Transfer-Encoding: chunked"});
        }
        upload.insert(upload.end(), {"--data-binary", "@" + file, base + "/upload", "--next", "-sk",
                                     "--max-time", "30", "--resolve", resolve, "-o", "/dev/null",
                                     "-w", written, base + "/index.html"});
        EXPECT_EQ(Curl(upload), "200 1\n200 0\n") << c.base << " " << c.chunked << Evidence();
        const std::vector<wexo::peers::PeerRequest> requests = peer.Requests();
        ASSERT_EQ(requests.size(), 2u) << c.base << " " << c.chunked;
        EXPECT_EQ(requests[0].body.size(), data.size()) << c.base << " " << c.chunked;
        EXPECT_TRUE(requests[0].body == data) << c.base << " " << c.chunked;
        EXPECT_EQ(requests[1].path, "/index.html");
    }
}

// HTTP/2 with many streams at once on one connection, every one answered: over TLS (curl, straight
// and inside a CONNECT tunnel) and in the clear with prior knowledge (Node), which the driver
// reads frame by frame.
TEST_F(RealKeepWorkingTest, Http2WithManyStreamsIsAnsweredOnOneConnection) {
    const std::string node = NETWORK_NAMESPACES::FindProgram("node");
    if (node.empty()) {
        GTEST_SKIP() << "node is not installed (the HTTP/2 origin)";
    }
    if (Client({"curl", "-V"}).find("HTTP2") == std::string::npos) {
        GTEST_SKIP() << "this curl speaks no HTTP/2";
    }
    wexo::peers::CertificateOptions names;
    names.commonName = "www.example.test";
    names.altNames = {"www.example.test", "news.example"};
    const wexo::peers::TlsIdentity identity = wexo::peers::MakeSelfSignedIdentity(names);
    std::ofstream(product_->RuntimeDir() + "/key.pem") << identity.KeyPem();
    std::ofstream(product_->RuntimeDir() + "/cert.pem") << identity.CertificatePem();
    auto origin = Serve({node, "-e", kHttp2Origin, "8443", "8081", product_->RuntimeDir()});
    auto proxy = Serve({"python3", "-c", kProxy, "3128"});
    ASSERT_TRUE(origin && proxy);
    EXPECT_EQ(BlockedStatus("https://games.example:8443/item/0", 8443), "000");
    EXPECT_EQ(CountOccurrences(origin->Output(), "session"), 0u) << "a blocked hello got through";

    constexpr int kStreams = 40;
    const auto many = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), {"--http2", "-Z", "--no-progress-meter", "-w",
                                           "%{http_code} %{http_version}\n"});
        for (int i = 0; i < kStreams; ++i) {
            arguments.push_back("https://www.example.test:8443/item/" + std::to_string(i));
        }
        return Curl(arguments);
    };
    for (const std::vector<std::string>& way :
         {std::vector<std::string>{"--resolve", "www.example.test:8443:192.0.2.2"},
          std::vector<std::string>{"-p", "-x", "192.0.2.2:3128"}}) {
        const size_t sessions = CountOccurrences(origin->Output(), "session");
        const std::string out = many(way);
        EXPECT_EQ(CountOccurrences(out, "200 2\n"), size_t{kStreams})
            << way[0] << out << Evidence();
        for (int i = 0; i < kStreams; ++i) {
            EXPECT_NE(out.find("/item/" + std::to_string(i) + " answered\n"), std::string::npos)
                << way[0] << " stream " << i;
        }
        EXPECT_EQ(CountOccurrences(origin->Output(), "session"), sessions + 1) << way[0];
    }

    // In the clear: 100 requests at once, then 8 uploads of 1 MiB at once (flow control's window
    // updates going back while the bodies come).
    for (const auto& [count, size] : {std::pair{"100", "0"}, std::pair{"8", "1048576"}}) {
        const size_t sessions = CountOccurrences(origin->Output(), "session");
        EXPECT_EQ(Client({node, "-e", kHttp2Client, "http://192.0.2.2:8081", "news.example", count,
                          size}),
                  std::string(count) + " answered\n")
            << size << Evidence();
        EXPECT_EQ(CountOccurrences(origin->Output(), "session"), sessions + 1);
    }
}

// Protocols that never look like HTTP or TLS pass on the web ports, both ways: one whose server
// speaks first, one that opens with binary, and one that opens with a text line of its own.
TEST_F(RealKeepWorkingTest, OtherProtocolsOnPorts80And443PassBothWays) {
    EXPECT_EQ(BlockedStatus("http://games.example/play", 80), "302");
    EXPECT_EQ(BlockedStatus("https://games.example/play", 443), "000");
    product_->Web().Stop();
    product_->Secure().Stop();
    const std::string messages = "3 intact\n100000 intact\n";
    struct CASE {
        const char* protocol;
        std::string expected;
    } cases[] = {
        {"banner",
         "220 mail.example.test ESMTP ready\n250 hello client.example.test\n"
         "data intact\n221 bye\n"},
        {"binary", messages},
        {"ssh", "SSH-2.0-Origin_1.0\n" + messages},
    };
    for (const CASE& c : cases) {
        auto server =
            Serve({"python3", "-c", std::string(kStreamReaders) + kOpaqueServer, c.protocol});
        ASSERT_TRUE(server);
        for (const char* port : {"80", "443"}) {
            EXPECT_EQ(Client({"python3", "-c", kOpaqueClient, c.protocol, port}), c.expected)
                << c.protocol << " on port " << port << Evidence();
        }
    }
}

// A real client's hello in framings a TLS server reads (record boundaries anywhere, every legacy
// record version, empty records between the pieces, each record in its own segment), and hellos
// that name no server, load an allowed host; each framing that names the blocked host is cut, so
// it was read, not passed unread.
TEST_F(RealKeepWorkingTest, UnusuallyFramedAndNamelessHellosLoadAnAllowedHost) {
    // The nameless ones come first: once the client has resolved the blocked host, the server's
    // address is known by that name too, and a hello naming nothing there is cut.
    struct CASE {
        const char* framing;
        const char* version;
    } cases[] = {
        {"nameless", "TLSv1.3"},        {"nameless-tls1.2", "TLSv1.2"}, {"header-split", "TLSv1.3"},
        {"record-versions", "TLSv1.3"}, {"empty-records", "TLSv1.3"},   {"segments", "TLSv1.3"},
        {"tls1.2-split", "TLSv1.2"},
    };
    size_t loaded = 0;
    for (const CASE& c : cases) {
        EXPECT_EQ(Client({"python3", "-c", kReframedHello, "www.example.test", c.framing}),
                  std::string(c.version) + " HTTP/1.1 200 OK the page\n")
            << c.framing << Evidence();
        EXPECT_EQ(product_->Secure().RequestCount("GET", "/index.html"), ++loaded) << c.framing;
        if (std::string(c.framing).find("nameless") == std::string::npos) {
            const std::string out =
                Client({"python3", "-c", kReframedHello, "games.example", c.framing});
            EXPECT_EQ(out.find("200 OK"), std::string::npos) << c.framing << ": " << out;
            EXPECT_EQ(product_->Secure().RequestCount("GET", "/index.html"), loaded) << c.framing;
        }
    }
}

}  // namespace
