"""The native engine's wire layer (URL, RESP reader, connection), driven through a test-only
C++ driver built with ASan and UBSan: real servers, scripted hostile servers, random bytes."""

import json
import os
import shutil
import socket
import subprocess
import threading

import pytest

from redis_proc import RedisProcess, in_ci

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCES = ["tests/batch/wire_driver.cpp", "batch/url.cpp", "batch/resp.cpp",
           "batch/connection.cpp"]
ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}


@pytest.fixture(scope="session")
def driver(tmp_path_factory):
    gxx = shutil.which("g++")
    if gxx is None:
        (pytest.fail if in_ci() else pytest.skip)("g++ is not installed")
    out = str(tmp_path_factory.mktemp("wire") / "wire_driver")
    subprocess.run([gxx, "-std=c++17", "-O1", "-g", "-fsanitize=address,undefined",
                    "-fno-sanitize-recover=undefined", "-Wall", "-Wextra", "-Werror",
                    "-fno-exceptions", "-fno-rtti", "-I", ROOT, "-o", out]
                   + [os.path.join(ROOT, s) for s in SOURCES], check=True, timeout=300)
    return out


def run(driver, *args, stdin=b""):
    done = subprocess.run([driver] + [str(a) for a in args], input=stdin, env=ENV,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    return done.stdout.decode()


def command(*args):
    args = [a if isinstance(a, bytes) else str(a).encode() for a in args]
    return b"*%d\r\n" % len(args) + b"".join(b"$%d\r\n%s\r\n" % (len(a), a) for a in args)


def xadds(key, n, size=20):
    return b"".join(command("XADD", key, "*", "payload", b"%0*d" % (size, i)) for i in range(n))


def trip(driver, url, commands=b"", count=0, timeout_ms=2000, iov=7, tmp_path=None, before=None):
    """Opens, then (after before(), if given) sends `commands` as iovecs of `iov` bytes."""
    path = os.path.join(str(tmp_path), "commands")
    with open(path, "wb") as f:
        f.write(commands)
    proc = subprocess.Popen([driver, "trip", url, str(timeout_ms), str(iov), str(count), path],
                            env=ENV, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        first = json.loads(proc.stdout.readline())
        if first["status"] == "opened" and before is not None:
            before()
        out, _ = proc.communicate(b"go\n", timeout=60)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0
    return first if first["status"] != "opened" else json.loads(out)


@pytest.mark.parametrize("url, expected", [
    ("redis://localhost", dict(host="localhost", port=6379, db=0, auth=False)),
    ("REDIS://h:7000/", dict(host="h", port=7000, db=0)),
    ("redis://h/15", dict(db=15)),
    ("redis://h?db=4", dict(db=4)),
    ("redis://:s%3Acr%40t@h", dict(user="", password="s:cr@t", auth=True)),
    ("redis://alice:p@ss@h:1/2", dict(user="alice", password="p@ss", host="h", port=1, db=2)),
    ("redis://alice:@h", dict(user="alice", password="", auth=True)),
    ("redis://:@h", dict(auth=False)),
    ("redis://a+b:c+d@h", dict(user="a+b", password="c+d")),
    ("redis://[::1]:65535/3", dict(host="::1", port=65535, db=3)),
    ("redis://[fe80::1%25eth0]", dict(host="fe80::1%eth0")),
    ("unix:///tmp/r%20s.sock?db=2", dict(unix_path="/tmp/r s.sock", db=2, host="")),
    ("unix://:pw@/run/redis.sock", dict(unix_path="/run/redis.sock", password="pw")),
    ("rediss://h", "pass a TLS-configured redis-py client as client="),
    ("http://h", "unsupported url scheme 'http': expected redis:// or unix://"),
    ("localhost:6379", "the url must start with redis:// or unix://"),
    ("redis://", "the url has no host"),
    ("redis://:pw@:6379", "the url has no host"),
    ("redis://h:0", "invalid port '0' in the url: expected an integer from 1 to 65535"),
    ("redis://h:65536", "invalid port '65536'"),
    ("redis://h:", "invalid port ''"),
    ("redis://h:12a", "invalid port '12a'"),
    ("redis://h/-1", "invalid database '-1' in the url's path"),
    ("redis://h/2147483648", "invalid database '2147483648'"),
    ("redis://h/1/2", "invalid database '1/2'"),
    ("redis://h/1?db=1", "the url gives the database twice"),
    ("redis://h?timeout=3", "unsupported option 'timeout' in the url"),
    ("redis://h#x", "must not have a fragment"),
    ("redis://::1", "an IPv6 address in a url must be in brackets"),
    ("redis://[::1", "'[' without its ']'"),
    ("redis://[::g]", "invalid IPv6 address '[::g]'"),
    ("redis://[::1]x", "unexpected 'x' after the IPv6 address"),
    ("redis://h h", "invalid character in the url's host"),
    ("redis://%zz:pw@h", "invalid percent-encoding in the url's user name"),
    ("redis://:pw%4@h", "invalid percent-encoding in the url's password"),
    ("unix://host/x.sock", "a unix socket url has no host"),
    ("unix://", "needs an absolute path"),
    ("unix:///a%00b", "contains a NUL byte"),
    ("unix:///" + "x" * 107, "too long (108 bytes; at most 107)"),
])
def test_parse_url(driver, url, expected):
    parsed = json.loads(run(driver, "url", url))
    if isinstance(expected, str):
        assert expected in parsed["error"]
        assert "pw" not in parsed["error"]  # a password never shows in a message
    else:
        assert {k: parsed[k] for k in expected} == expected


@pytest.mark.parametrize("data, outcomes", [
    (b"+OK\r\n-ERR bad\r\n:-5\r\n:+7\r\n", "ok|error:ERR bad|ok|ok"),
    (b"$-1\r\n*-1\r\n_\r\n$0\r\n\r\n$3\r\na\r\n\r\n", "ok|ok|ok|ok|ok"),
    (b"*2\r\n*1\r\n-ERR nested\r\n$2\r\nhi\r\n*0\r\n", "ok|ok"),
    (b"!5\r\nOOPS!\r\n-WRONGTYPE \x00\xff\r\n", "error:OOPS!|error:WRONGTYPE ??"),
    (b">2\r\n+a\r\n+b\r\n|1\r\n+k\r\n+v\r\n-ERR after\r\n", "error:ERR after"),
    (b"*1\r\n|1\r\n+k\r\n*1\r\n:1\r\n:2\r\n>0\r\n|0\r\n+x\r\n", "ok|ok"),
    (b"%1\r\n+k\r\n+v\r\n~0\r\n#t\r\n,1.5\r\n(12\r\n=7\r\ntxt:abc\r\n", "ok|ok|ok|ok|ok|ok"),
    (b"-" + b"E" * 1000 + b"\r\n", "error:" + "E" * 255),
    (b"$5\r\nab", ""),
    (b"+OK\r\n?x\r\n", "ok|malformed@5"),
    (b"+OK\n", "malformed@3"),
    (b"+OK\r+", "malformed@4"),
    (b"$-2\r\n", "malformed@4"),
    (b":\r\n", "malformed@2"),
    (b"#x\r\n", "malformed@1"),
    (b"_1\r\n", "malformed@1"),
    (b"$3\r\nabcXY", "malformed@7"),
    (b":1234567890123456789\r\n:12345678901234567890\r\n", "ok|malformed@42"),
    (b"$65536\r\n", "malformed@7"),
    (b"*22000\r\n", "malformed@7"),
    (b"*1\r\n" * 32 + b"*1\r\n", "malformed@131"),
    (b"+" + b"x" * 70000, "malformed@65536"),
])
def test_reader(driver, data, outcomes):
    assert run(driver, "resp", stdin=data) == "".join(o + "\n" for o in outcomes.split("|") if o)


def test_reader_random_bytes(driver):
    # Mutated replies and raw noise, each read whole, byte by byte and in odd chunks: the same
    # outcome every way, no overrun (ASan) and no reply that consumed nothing.
    assert run(driver, "fuzz", 20000) == "ok\n"


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    sock = str(tmp_path_factory.mktemp("sock") / "redis.sock")
    proc = RedisProcess(conf_lines=["requirepass topsecret", "user alice on >wonder ~* +@all"],
                        args=["--unixsocket", sock, "--unixsocketperm", "700"])
    proc.sock = sock
    with proc:
        yield proc


@pytest.mark.parametrize("url, commands, count, iov, status, ok, message, lengths", [
    ("redis://:topsecret@H/0", xadds("s", 3), 3, 7, "ok", "111", "", {(0, "s"): 3}),
    ("redis://alice:wonder@H/3", xadds("s", 2), 2, 4096, "ok", "11", "", {(3, "s"): 2}),
    ("unix://:topsecret@SOCK?db=2", xadds("u", 1), 1, 1, "ok", "1", "", {(2, "u"): 1}),
    ("redis://:topsecret@H", command("SET", "k", "v") + xadds("k", 1) + xadds("s", 1), 3, 9,
     "ok", "101", "", {(0, "s"): 1}),
    ("redis://:topsecret@H/1", xadds("big", 10000, 100), 10000, 100, "ok", "1" * 10000, "",
     {(1, "big"): 10000}),
    ("redis://:topsecret@H", xadds("one", 3, 1500), 3, 1, "ok", "111", "", {(0, "one"): 3}),
    ("redis://alice:nope@H", b"", 0, 1, "open failed", "", "AUTH failed: WRONGPASS", {}),
    ("redis://H", b"", 0, 1, "open failed", "", "PING failed: NOAUTH", {}),
    ("unix://SOCK", b"", 0, 1, "open failed", "", "PING failed: NOAUTH", {}),
    ("redis://:topsecret@H/99", b"", 0, 1, "open failed", "", "SELECT 99 failed: ERR DB", {}),
])
def test_round_trip(driver, server, tmp_path, url, commands, count, iov, status, ok, message,
                    lengths):
    client = server.client(password="topsecret")
    client.flushall()
    url = url.replace("H", "127.0.0.1:%d" % server.port).replace("SOCK", server.sock)
    out = trip(driver, url, commands, count, iov=iov, tmp_path=tmp_path)
    assert (out["status"], out["ok"]) == (status, ok), out
    assert message in out["error"] and out["is_open"] == (status == "ok")
    if "0" in ok:
        assert out["reply_error"].startswith("WRONGTYPE")
    for (db, key), n in lengths.items():
        assert server.client(password="topsecret", db=db).xlen(key) == n


@pytest.mark.parametrize("when, count", [("before open", 0), ("before the batch", 10000)])
def test_stopped_server_times_out(driver, tmp_path, when, count):
    with RedisProcess() as proc:
        if when == "before open":
            proc.pause()
        out = trip(driver, proc.url, xadds("s", count, 100), count, timeout_ms=400, iov=4096,
                   tmp_path=tmp_path, before=proc.pause)
        proc.resume()
    assert "timed out after 400 ms" in out["error"] and not out["is_open"]
    assert 390 <= out["ms"] < 400 + 2000


class Scripted:
    """A one-connection server on 127.0.0.1 that plays a script: "recv" waits for bytes,
    bytes are sent, "close" closes, "reset" closes with a RST, "drain" reads to the end."""

    def __init__(self, script, backlog=1, accept=True):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(backlog)
        self.url = "redis://127.0.0.1:%d" % self.sock.getsockname()[1]
        if accept:
            threading.Thread(target=self.play, args=(script,), daemon=True).start()

    def play(self, script):
        conn, _ = self.sock.accept()
        with conn:
            conn.settimeout(10)
            for step in script:
                if step == "recv":
                    conn.recv(65536)
                elif step == "drain":
                    while conn.recv(65536):
                        pass
                elif step == "reset":
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                    break
                elif step == "close":
                    break
                else:
                    conn.sendall(step)

    def close(self):
        self.sock.close()


PONG = ["recv", b"+PONG\r\n", "recv"]


@pytest.mark.parametrize("script, count, status, ok, message", [
    (["recv", "close"], 0, "open failed", "", "the server closed the connection"),
    (["recv", b"-LOADING Redis is loading\r\n"], 0, "open failed", "", "PING failed: LOADING"),
    (["recv", b"+PONG\r\n+PONG\r\n"], 0, "open failed", "", "a reply to no command"),
    (PONG + [b"hello\r\n"], 1, "failed", "", "malformed reply from the server (byte 0x68)"),
    (PONG + [b"$10\r\nabc", "close"], 1, "failed", "", "the server closed the connection"),
    (PONG + [b"+1-0\r\n-WRONGTYPE no\r\n"], 2, "ok", "10", ""),
    (PONG + [b"+1-0\r\n-LOADING wait\r\n"], 2, "failed", "", "refused the batch: LOADING wait"),
    (PONG + [b"+1-0\r\n+1-1\r\n", "recv"], 1, "ok", "1", "a reply to no command"),
    (PONG + ["reset"], 200000, "failed", "", "Connection reset by peer"),
    (PONG + ["drain"], 1, "failed", "", "timed out after 300 ms waiting for replies"),
])
def test_hostile_server(driver, tmp_path, script, count, status, ok, message):
    server = Scripted(script)
    try:
        out = trip(driver, server.url, xadds("s", count, 40), count, timeout_ms=300, iov=4096,
                   tmp_path=tmp_path)
    finally:
        server.close()
    assert (out["status"], out["ok"]) == (status, ok), out
    assert message in out["error"]
    assert not out["is_open"] or not message


@pytest.mark.parametrize("backlog, fillers, message", [
    (1, 0, "timed out after 300 ms waiting for replies"),  # the kernel accepts, no one reads
    (0, 1, "timed out after 300 ms connecting"),  # the accept queue is full: SYNs are dropped
])
def test_server_that_never_accepts(driver, tmp_path, backlog, fillers, message):
    server = Scripted([], backlog=backlog, accept=False)
    held = [socket.create_connection(server.sock.getsockname()) for _ in range(fillers)]
    try:
        out = trip(driver, server.url, timeout_ms=300, tmp_path=tmp_path)
    finally:
        for s in held:
            s.close()
        server.close()
    assert out["status"] == "open failed" and message in out["error"], out
