#!/usr/bin/python3
"""Figures of the web server under chat work, against a running Tarvik (loopback only).

Usage: chat_bursts.py PORT PID CONFIG_DIR MODE
  bursts    builds a 60 MB board, then runs rounds of 64 posts of 60 KB each, one round after
            the other; meanwhile the reply time of /turn/reset (at the middle: answered, no
            move) and two 5000-step moves (BigStep.ini 5000, limits wide enough) from their
            request to their save; then index throughput while one client posts in a loop,
            and last the time from SIGTERM, sent during a round, to the end of the process
  readers   builds a 20 MB board, then 20 clients post a short message each and never read:
            the growth of resident memory and the processor time per post
  scarce    for a Tarvik limited to 64 descriptors: builds a 4.2 MB board, then 100 connections
            arrive at once, half of them silent, half posting and never reading; the share of
            a processor Tarvik takes over the 3 s after
Prints key=value pairs on one line.
"""
import os
import signal
import socket
import statistics
import struct
import sys
import threading
import time

PORT, PID, CONFIG = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
BIG = b"m" * 60000


def connect():
    return socket.create_connection(("127.0.0.1", PORT), timeout=30)


def post(message, keep=False):
    """Posts and waits for the first byte of the board (the post was taken)."""
    s = connect()
    s.sendall(b"GET /chat?" + message + b" HTTP/1.1\r\n\r\n")
    s.recv(1)
    if keep:
        return s
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
    return None


def fetch(path):
    s = connect()
    s.sendall(b"GET " + path + b" HTTP/1.1\r\n\r\n")
    data = bytearray()
    while chunk := s.recv(1 << 20):
        data += chunk
    s.close()
    return bytes(data)


def build_board(megabytes):
    """Posts until the board holds `megabytes` (a request that reaches the server in two
    pieces is no post)."""
    while len(fetch(b"/chat")) < megabytes * 1000 * 1000:
        for _ in range(20):
            post(BIG)


def cpu_seconds():
    fields = open("/proc/%d/stat" % PID).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib():
    for line in open("/proc/%d/status" % PID):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def post_quietly(message):
    try:
        post(message)
    except OSError:
        pass  # the server has gone (SIGTERM)


def burst():
    threads = [threading.Thread(target=post_quietly, args=(BIG,)) for _ in range(64)]
    for t in threads:
        t.start()
    return threads


def alive():
    try:
        return open("/proc/%d/stat" % PID).read().split()[2] != "Z"
    except FileNotFoundError:
        return False


def saved_position():
    with open(os.path.join(CONFIG, "totalsteps.ini")) as f:
        return f.read().strip()


def move_rate(path, expected):
    """A 5000-step move from its request to its save, in half-steps per second. The save's
    time is the file's own, so that this script's delays in noticing it do not count."""
    start = time.time()
    fetch(path)
    while saved_position() != expected and time.time() - start < 60:
        time.sleep(0.005)
    saved = os.stat(os.path.join(CONFIG, "totalsteps.ini")).st_mtime_ns / 1e9
    return 5000 / (saved - start)


def index_rate(seconds):
    count, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        fetch(b"/")
        count += 1
    return count / seconds


def bursts():
    build_board(58)  # the most a thousand lines of 60 KB hold
    stop = threading.Event()

    def rounds():
        while not stop.is_set():
            for t in burst():
                t.join()

    flood = threading.Thread(target=rounds)
    flood.start()
    latencies = []
    for _ in range(20):
        start = time.monotonic()
        fetch(b"/turn/reset")
        latencies.append((time.monotonic() - start) * 1000)
        time.sleep(0.1)
    rates = [move_rate(b"/turn/right", "5000"), move_rate(b"/turn/reset", "0")]
    stop.set()
    flood.join()
    quiet = index_rate(2)
    stop.clear()

    def poster():
        while not stop.is_set():
            post(BIG)

    looping = threading.Thread(target=poster)
    looping.start()
    busy = index_rate(2)
    stop.set()
    looping.join()
    threads = burst()
    time.sleep(0.05)
    start = time.monotonic()
    os.kill(PID, signal.SIGTERM)
    while alive():
        time.sleep(0.001)
    sigterm_ms = (time.monotonic() - start) * 1000
    for t in threads:
        t.join()
    print("turn_p50_ms=%.1f turn_max_ms=%.1f move_rate_min=%.0f index_quiet=%.0f index_busy=%.0f "
          "sigterm_ms=%.0f" % (statistics.median(latencies), max(latencies), min(rates), quiet, busy,
                               sigterm_ms))


def readers():
    build_board(20)
    board = len(fetch(b"/chat"))
    before, cpu = rss_kib(), cpu_seconds()
    keep = [post(b"never+reads+%d" % i, keep=True) for i in range(20)]
    time.sleep(0.5)
    print("board_kib=%d grown_kib=%d cpu_ms_per_post=%.1f" %
          (board // 1024, rss_kib() - before, (cpu_seconds() - cpu) * 1000 / 20))
    del keep


def scarce():
    for _ in range(70):
        post(BIG)
    cpu, start = cpu_seconds(), time.monotonic()
    flood = [connect() for _ in range(100)]
    for s in flood[::2]:
        s.sendall(b"GET /chat?x HTTP/1.1\r\n\r\n")
    time.sleep(3)
    print("flood_cpu_percent=%.1f" % (100 * (cpu_seconds() - cpu) / (time.monotonic() - start)))
    del flood


{"bursts": bursts, "readers": readers, "scarce": scarce}[sys.argv[4]]()
