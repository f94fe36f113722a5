#!/usr/bin/python3
"""Figures of the ONVIF front door under attack, against a running Tarvik (loopback only) whose
Onvif.ini names user admin, password secret, with discovery on UDP 3702.

Usage: onvif_floods.py TURN_PORT ONVIF_PORT MODE
  logins   one peer (127.0.0.2) guesses Digest passwords on four keep-alive connections for
           60 s while the right password logs in from 127.0.0.3 every second: the guesses
           answered in the minute, the right login's p99
  probes   four senders flood UDP 3702 with probes from 64 source addresses for 10 s: probes
           sent and answered per second
Prints key=value pairs on one line. (The turns beside a flood are measured by another
process, scripts/bench.sh's load generator: in this one they would wait for Python's lock.)
"""
import hashlib
import re
import socket
import statistics
import sys
import threading
import time

TURN, ONVIF, MODE = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
BODY = (b'<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope"><s:Body>'
        b'<GetNodes xmlns="http://www.onvif.org/ver20/ptz/wsdl"/></s:Body></s:Envelope>')
PATH = "/onvif/ptz_service"


def request(headers=""):
    return (f"POST {PATH} HTTP/1.1\r\nHost: 127.0.0.1\r\n{headers}Content-Length: {len(BODY)}\r\n"
            "\r\n").encode() + BODY


def read_response(sock, buffer):
    """One response off a keep-alive connection: its status and its headers."""
    while b"\r\n\r\n" not in buffer:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        buffer += chunk
    head, _, rest = bytes(buffer).partition(b"\r\n\r\n")
    length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
    while len(rest) < length:
        rest += sock.recv(65536)
    buffer[:] = rest[length:]
    return int(head.split()[1]), head.decode()


def digest(nonce, password, count):
    md5 = lambda text: hashlib.md5(text.encode()).hexdigest()
    response = md5(f"{md5('admin:tarvik:' + password)}:{nonce}:{count:08x}:c:auth:{md5('POST:' + PATH)}")
    return (f'Authorization: Digest username="admin", realm="tarvik", nonce="{nonce}", uri="{PATH}", '
            f'algorithm=MD5, qop=auth, nc={count:08x}, cnonce="c", response="{response}"\r\n')


def nonce_of(head):
    return re.search(r'algorithm=MD5, qop="auth", nonce="([^"]+)"', head).group(1)


def connect(port, source="127.0.0.1"):
    sock = socket.create_connection(("127.0.0.1", port), timeout=120, source_address=(source, 0))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def percentile(values, share):
    values = sorted(values)
    return round(values[min(len(values) - 1, int(len(values) * share))], 2) if values else 0


def logins():
    stop, rights, guesses = threading.Event(), [], []

    def guesser():
        sock, buffer = connect(ONVIF, "127.0.0.2"), bytearray()
        sock.sendall(request())
        _, head = read_response(sock, buffer)
        nonce, count = nonce_of(head), 0
        while not stop.is_set():
            count += 1
            sock.sendall(request(digest(nonce, "guess%d" % count, count)))
            try:
                status, head = read_response(sock, buffer)
            except (ConnectionError, socket.timeout):
                return
            guesses.append(time.monotonic())
            if "nonce=" in head:
                nonce, count = nonce_of(head), 0

    def right():
        while not stop.is_set():
            start = time.perf_counter()
            sock, buffer = connect(ONVIF, "127.0.0.3"), bytearray()
            sock.sendall(request())
            _, head = read_response(sock, buffer)
            sock.sendall(request(digest(nonce_of(head), "secret", 1)))
            status, _ = read_response(sock, buffer)
            assert status == 200, status
            rights.append((time.perf_counter() - start) * 1000)
            sock.close()
            time.sleep(1)

    began = time.monotonic()
    threads = [threading.Thread(target=guesser, daemon=True) for _ in range(4)]
    threads.append(threading.Thread(target=right))
    for thread in threads:
        thread.start()
    time.sleep(60)
    stop.set()
    threads[4].join()
    in_minute = [g for g in guesses if g - began <= 60]
    print(f"guesses_per_minute={len(in_minute)} after_first_five={max(0, len(in_minute) - 5)} "
          f"right_login_p99_ms={percentile(rights, 0.99)}")


def probes():
    stop = threading.Event()
    probe = (b'<?xml version="1.0" encoding="UTF-8"?><e:Envelope xmlns:e="http://www.w3.org/2003/05/soap-envelope" '
             b'xmlns:w="http://schemas.xmlsoap.org/ws/2004/08/addressing" xmlns:d="http://schemas.xmlsoap.org/ws/2005/04/discovery" '
             b'xmlns:dn="http://www.onvif.org/ver10/network/wsdl"><e:Header><w:MessageID>urn:uuid:flood</w:MessageID>'
             b'<w:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</w:Action></e:Header><e:Body><d:Probe>'
             b'<d:Types>dn:NetworkVideoTransmitter</d:Types></d:Probe></e:Body></e:Envelope>')
    sent, answered = [0] * 4, [0] * 4

    def sender(i):
        sockets = []
        for n in range(16):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind((f"127.0.1.{i * 16 + n + 1}", 0))
            s.setblocking(False)
            sockets.append(s)
        while not stop.is_set():
            for s in sockets:
                try:
                    s.sendto(probe, ("127.0.0.1", 3702))
                    sent[i] += 1
                except BlockingIOError:
                    pass
                try:
                    while s.recv(65536):
                        answered[i] += 1
                except BlockingIOError:
                    pass

    threads = [threading.Thread(target=sender, args=(i,)) for i in range(4)]
    began = time.monotonic()
    for thread in threads:
        thread.start()
    time.sleep(10)
    stop.set()
    for thread in threads:
        thread.join()
    seconds = time.monotonic() - began
    print(f"probes_per_second={int(sum(sent) / seconds)} answers_per_second={int(sum(answered) / seconds)}")


{"logins": logins, "probes": probes}[MODE]()
