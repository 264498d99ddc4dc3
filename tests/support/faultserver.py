#!/usr/bin/env python3
"""A local HTTP/1.0 peer that injects faults, for the download soak test.

It listens on 127.0.0.1 on a free port and prints "PORT <n>" on standard
output once it accepts connections. It serves:

  /watch/<id>.html  a small page holding '<video src="<id>.bin">'
  /v/<id>.bin       the video: bytes that are a function of its name alone
                    (see video_bytes), with an ETag of its name, honouring
                    "Range: bytes=N-" when "If-Range:" is absent or names it

Each request draws one fault from a generator seeded with the seed, the
path and how many times that path was asked for before, so a run is the
same for the same seed whatever the timing. Every request is logged as one
line "path<TAB>range start or -<TAB>fault<TAB>status" to the --log file.

Faults that leave the body incomplete ("close", "reset", "cuthead") never
send all of it; "404" answers with an error page. The others ("stall",
"trickle", "nolength", "norange") deliver every byte, just badly.
"""

import argparse
import hashlib
import random
import socket
import socketserver
import struct
import sys
import threading
import time

MIN_SIZE = 4 * 1024
MAX_SIZE = 300 * 1024

# Weights of the faults per request.
FAULTS = [
    ("none", 50),
    ("stall", 8),
    ("trickle", 8),
    ("nolength", 8),
    ("norange", 4),
    ("close", 7),
    ("reset", 5),
    ("cuthead", 5),
    ("404", 5),
]


def video_size(name):
    """MIN_SIZE to MAX_SIZE bytes, from the first four bytes of SHA-256(name)."""
    digest = hashlib.sha256(name.encode()).digest()
    return MIN_SIZE + struct.unpack(">I", digest[:4])[0] % (MAX_SIZE - MIN_SIZE + 1)


def video_bytes(name):
    """SHA-256(name + ":" + i) for i = 0, 1, ... concatenated, cut to video_size(name)."""
    size = video_size(name)
    blocks = (size + 31) // 32
    data = b"".join(hashlib.sha256(f"{name}:{i}".encode()).digest() for i in range(blocks))
    return data[:size]


def watch_page(video_id):
    filler = "".join(f"<p>item {i} of the page</p>\n" for i in range(20))
    return (
        f"<html><head><title>{video_id}</title></head><body>\n{filler}"
        f'<video src="{video_id}.bin"></video>\n{filler}</body></html>\n'
    ).encode()


class State:
    def __init__(self, seed, log):
        self.seed = seed
        self.log = log
        self.lock = threading.Lock()
        self.counts = {}
        self.cache = {}

    def draw(self, path):
        with self.lock:
            count = self.counts.get(path, 0)
            self.counts[path] = count + 1
        rng = random.Random(f"{self.seed}/{path}/{count}")
        names = [name for name, _ in FAULTS]
        weights = [weight for _, weight in FAULTS]
        return rng.choices(names, weights)[0], rng

    def video(self, name):
        with self.lock:
            data = self.cache.get(name)
        if data is None:
            data = video_bytes(name)
            with self.lock:
                if len(self.cache) > 16:
                    self.cache.clear()
                self.cache[name] = data
        return data

    def record(self, path, range_start, fault, status):
        with self.lock:
            self.log.write(f"{path}\t{range_start}\t{fault}\t{status}\n")
            self.log.flush()


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data and b"\n\n" not in data:
        chunk = conn.recv(4096)
        if not chunk or len(data) > 65536:
            return None
        data += chunk
    lines = data.split(b"\r\n\r\n")[0].split(b"\n")
    parts = lines[0].split()
    if len(parts) < 2:
        return None
    headers = {}
    for line in lines[1:]:
        name, _, value = line.decode("latin-1").partition(":")
        headers[name.strip().lower()] = value.strip()
    return parts[1].decode("latin-1"), headers


def range_start(headers):
    value = headers.get("range", "")
    if not value.startswith("bytes=") or not value.endswith("-"):
        return None
    try:
        return int(value[len("bytes="):-1])
    except ValueError:
        return None


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        conn = self.request
        try:
            request = read_request(conn)
            if request is None:
                return
            self.serve(conn, *request)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def serve(self, conn, target, headers):
        state = self.server.state
        path = target.split("?")[0]
        if path.startswith("/watch/") and path.endswith(".html"):
            body, ranged = watch_page(path[len("/watch/"):-len(".html")]), False
        elif path.startswith("/v/") and path.endswith(".bin"):
            body, ranged = state.video(path[len("/v/"):-len(".bin")]), True
        else:
            conn.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
            state.record(path, "-", "unknown", 404)
            return

        fault, rng = state.draw(path)
        start = range_start(headers) if ranged else None
        etag = '"' + hashlib.sha256(path.encode()).hexdigest()[:16] + '"'
        if start is not None and headers.get("if-range", etag) != etag:
            start = None
        status, extra = 200, (f"ETag: {etag}\r\n" if ranged else "")
        if start is not None and fault != "norange":
            if start < len(body):
                status = 206
                extra += f"Content-Range: bytes {start}-{len(body) - 1}/{len(body)}\r\n"
                body = body[start:]
            else:
                status, body = 416, b""
                extra += f"Content-Range: bytes */{len(body)}\r\n"
        if fault == "404":
            status, body, extra = 404, b"<html>not found</html>\n", ""
        state.record(path, "-" if start is None else start, fault, status)

        reasons = {200: "OK", 206: "Partial Content", 404: "Not Found", 416: "Range Not Satisfiable"}
        header = f"HTTP/1.0 {status} {reasons[status]}\r\nContent-Type: application/octet-stream\r\n"
        if fault != "nolength":
            header += f"Content-Length: {len(body)}\r\n"
        header = (header + extra + "\r\n").encode()

        if fault == "cuthead":
            conn.sendall(header[: rng.randrange(1, len(header) - 1)])
            return
        if fault in ("close", "reset"):
            conn.sendall(header + body[: rng.randrange(0, max(1, len(body)))])
            if fault == "reset":
                # Closing with a zero linger time sends a reset, not an orderly end.
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
            return
        if fault == "stall":
            cut = rng.randrange(0, len(body) + 1)
            conn.sendall(header + body[:cut])
            time.sleep(rng.uniform(0.05, 0.25))
            conn.sendall(body[cut:])
            return
        if fault == "trickle":
            conn.sendall(header)
            done = 0
            while done < min(len(body), 24 * 1024):
                conn.sendall(body[done : done + 512])
                done += 512
                time.sleep(0.001)
            conn.sendall(body[done:])
            return
        conn.sendall(header + body)


class Server(socketserver.ThreadingTCPServer):
    # After a handler returns, the connection is shut down and closed.
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--log", required=True)
    args = parser.parse_args()
    with open(args.log, "w") as log:
        server = Server(("127.0.0.1", 0), Handler)
        server.state = State(args.seed, log)
        print(f"PORT {server.server_address[1]}", flush=True)
        server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
