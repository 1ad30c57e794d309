"""Reading back where records went (the stream, fallback and spill files), and accounting
for every record: found where it should be, and found twice only as often as the sender
says it sent something twice."""

import json
import os
import time


def fallback_files(path):
    """The fallback file and its rotated backups (path.1, path.2, ...) that exist."""
    path = str(path)
    found = [path] if os.path.exists(path) else []
    index = 1
    while os.path.exists("%s.%d" % (path, index)):
        found.append("%s.%d" % (path, index))
        index += 1
    return found


def read_fallback(path):
    """Every payload written to the fallback file and its backups (a spill file has the
    same format).

    Lines are split on LF alone: that is the terminator the file handler writes, and
    a payload that carried a raw CR or LF would show up here as an unparseable line.
    """
    payloads = []
    for name in fallback_files(path):
        with open(name, "rb") as f:
            data = f.read()
        assert not data or data.endswith(b"\n"), "%s ends in a partial line" % name
        for line in data.split(b"\n")[:-1]:
            assert b"\r" not in line, "raw CR in a fallback line of %s" % name
            payloads.append(json.loads(line.decode("utf-8")))
    return payloads


def read_stream(client, key):
    """Every decoded payload of the stream, oldest first, read in bounded chunks."""
    payloads = []
    start = "-"
    while True:
        chunk = client.xrange(key, min=start, max="+", count=5000)
        if not chunk:
            return payloads
        for entry_id, fields in chunk:
            assert set(fields) == {"payload"}
            payloads.append(json.loads(fields["payload"]))
        start = "(" + chunk[-1][0]


def seqs(payloads, **match):
    """ctx["seq"] of each payload whose ctx holds every item of `match`, in order."""
    return [p["ctx"]["seq"] for p in payloads
            if all(p["ctx"].get(k) == v for k, v in match.items())]


def stream_seqs(server, key="logs:stream"):
    """seqs() of the stream `key` on a RedisProcess, read by a client of the caller's own."""
    client = server.client()
    try:
        return seqs(read_stream(client, key))
    finally:
        client.close()


def record_text(t, seq, pad=0):
    """A payload naming its sender t and its sequence number, as a logged record's ctx does,
    and pad bytes more."""
    return json.dumps({"ctx": {"t": t, "seq": seq}, "pad": "x" * pad}, separators=(",", ":"))


def log_record(logger, t, seq):
    """Logs one record whose ctx names its sender t and its sequence number."""
    logger.info("record %d", seq, extra={"ctx": {"t": t, "seq": seq}})


def keys(payloads):
    """(t, seq) of each payload, in order."""
    return [(p["ctx"]["t"], p["ctx"]["seq"]) for p in payloads]


def read_back(server, key):
    """(t, seq) of each entry of the stream `key` on a RedisProcess, oldest first."""
    client = server.client()
    try:
        return keys(read_stream(client, key))
    finally:
        client.close()


def first_arrivals(found):
    """The keys in the order of their first arrival: a batch sent again repeats records after
    they first arrived."""
    seen, order = set(), []
    for k in found:
        if k not in seen:
            seen.add(k)
            order.append(k)
    return order


def wait_until(predicate, timeout, what):
    """Polls predicate until it is true; fails the test after timeout seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "not within %s s: %s" % (timeout, what)
        time.sleep(0.01)


def account(stats, expected, *places):
    """Every expected key is in one of places (lists of keys) and nothing else is; a key
    found twice counts against stats["resent"]; the counters add up. Returns the doubles."""
    assert stats["accepted"] == (stats["sent"] + stats["spilled"] + stats["dropped"]
                                 + stats["pending"]), stats
    expected = set(expected)
    found = [k for place in places for k in place]
    missing, foreign = expected - set(found), set(found) - expected
    assert not missing, "lost %d records, e.g. %s" % (len(missing), sorted(missing)[:5])
    assert not foreign, "records never logged: %s" % sorted(foreign)[:5]
    doubles = len(found) - len(set(found))
    assert doubles <= stats["resent"], (doubles, stats)
    return doubles
