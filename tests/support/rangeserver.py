#!/ usr / bin / env python3
"""A local HTTP/1.0 peer that serves one video in ranges, for the ranges test.

It listens on 127.0.0.1 on a free port and prints "PORT <n>" once it accepts
connections. GET /v/<id>.mp4 answers the video: --size bytes, byte i being
(i * 7 + i // 251 + SEED) % 256, with the ETag "--etag". "Range: bytes=A-" and
"bytes=A-B" are honoured unless "If-Range:" names another ETag. Bodies are
written in pieces of random length (seeded), so the client meets every
boundary. Every request is logged as one line "range<TAB>status<TAB>cookie"
to --log ("-" for a missing Range or Cookie header).

--mode good      as above
--mode badrange  a 206 whose Content-Range starts one byte late (the body too)
--mode hold      ranges after the first hold their connection open after
                 half of their body, until the client goes
--mode ignore    every answer is a 200 with the whole video
--mode slow      the second request's answer trickles at 50000 bytes a second
--rate N         each answer sends at most N bytes per second
--cookie         each answer to a bounded range sets the cookie "seen"
--root DIR       serves the files under DIR by path instead (404 for a
                 missing one), in the same random pieces
"""

import argparse
import os
import random
import socketserver
import sys
import threading
import time


def video(size, seed):
    return bytes((i * 7 + i // 251 + seed) % 256 for i in range(size))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=0)
    parser.add_argument("--root", default="")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--etag", default='"v1"')
    parser.add_argument("--mode", default="good")
    parser.add_argument("--log", required=True)
    parser.add_argument("--rate", type=int, default=0)
    parser.add_argument("--cookie", action="store_true")
    args = parser.parse_args()
    video_data = video(args.size, args.seed)
    lock = threading.Lock()
    counter = [0]

    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            head = {}
            line = self.rfile.readline()
            while True:
                h = self.rfile.readline()
                if h in (b"\r\n", b"\n", b""):
                    break
                name, _, value = h.decode("latin-1").partition(":")
                head[name.strip().lower()] = value.strip()
            asked = head.get("range", "")
            data = video_data
            if args.root:
                target = line.split(b" ")[1].split(b"?")[0].decode("latin-1")
                path = os.path.realpath(os.path.join(args.root, target.lstrip("/")))
                if not path.startswith(os.path.realpath(args.root) + "/") or not os.path.isfile(path):
                    with lock, open(args.log, "a") as log:
                        log.write(f"{target}\t404\t-\n")
                    self.wfile.write(b"HTTP/1.0 404 X\r\nContent-Length: 0\r\n\r\n")
                    return
                with open(path, "rb") as f:
                    data = f.read()
            with lock:
                counter[0] += 1
                number = counter[0]
            rng = random.Random(number)
            start, end = 0, len(data)
            status = 200
            if (
                args.mode != "ignore"
                and asked.startswith("bytes=")
                and head.get("if-range", args.etag) == args.etag
            ):
                a, _, b = asked[6:].partition("-")
                start = int(a)
                end = int(b) + 1 if b else len(data)
                status = 206
            shown_start = start + 1 if args.mode == "badrange" and status == 206 else start
            with lock, open(args.log, "a") as log:
                log.write(f"{asked or '-'}\t{status}\t{head.get('cookie', '-')}\n")
            out = [b"HTTP/1.0 %d X\r\n" % status, b"ETag: " + args.etag.encode() + b"\r\n"]
            if args.cookie and status == 206 and not asked.endswith("-"):
                out.append(b"Set-Cookie: seen=%d; Path=/\r\n" % number)
            if status == 206:
                out.append(b"Content-Range: bytes %d-%d/%d\r\n" % (shown_start, end - 1, len(data)))
            out.append(b"Content-Length: %d\r\n\r\n" % (end - shown_start))
            try:
                self.wfile.write(b"".join(out))
                body = data[shown_start:end]
                hold = args.mode == "hold" and number > 1 and status == 206 and start > 0
                at = 0
                while at < len(body):
                    if hold and at >= len(body) // 2:
                        time.sleep(60)
                        return
                    step = rng.randint(1, 40000)
                    self.wfile.write(body[at : at + step])
                    self.wfile.flush()
                    at += step
                    if args.rate:
                        time.sleep(step / args.rate)
                    if args.mode == "slow" and number == 2:
                        time.sleep(step / 50000)
            except OSError:
                pass

    class Server(socketserver.ThreadingTCPServer):
        daemon_threads = True
        allow_reuse_address = True

    server = Server(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
