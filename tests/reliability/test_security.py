"""Least privilege and transport security against a real redis-server.

The handler sends nothing but XADD, so a Redis user that may run XADD on the log
stream's keys and nothing else is enough for it. TLS servers are started with
certificates made here by openssl, so that verification is real: a server whose
certificate the client cannot verify gets no records.
"""

import inspect

import pytest
import redis

import quorbel
from readback import read_fallback, seqs, stream_seqs
from redis_proc import make_tls_files

PASSWORD = "logger-secret"
# The whole grant: log in, append to streams under logs:, nothing else. "%W~" gives
# write access only (no read of the keys' values, even by commands added later).
ACL_RULES = {
    "keys": ["on", ">" + PASSWORD, "resetchannels", "~logs:*", "-@all", "+xadd"],
    "write-only keys": ["on", ">" + PASSWORD, "resetchannels", "%W~logs:*", "-@all", "+xadd"],
}


@pytest.fixture
def send(logger, tmp_path):
    """send(url, count, **options): logs records 0..count-1 through one new handler for the
    url (its fallback file in tmp_path), and returns the seqs written to that file. Once a
    test: the logger fixture closes the handler's file and client afterwards."""

    def run(url, count, timeout_ms=1000, **options):
        fallback = tmp_path / "fallback.log"
        logger.addHandler(quorbel.RedisStreamHandler(
            redis_url=url, fallback_file_path=str(fallback), timeout_ms=timeout_ms, **options))
        for seq in range(count):
            logger.info("record %d", seq, extra={"ctx": {"seq": seq}})
        return seqs(read_fallback(fallback))

    return run


@pytest.fixture
def admin(server):
    client = server.client()
    yield client
    client.close()


# redis-py learnt ACL user names (AUTH username password) with Redis 6.
CLIENT_HAS_USERNAMES = "username" in inspect.signature(redis.Redis.__init__).parameters


def _text(value):
    return value.decode() if isinstance(value, bytes) else value


def acl_log_entry(raw):
    """One ACL LOG entry as a dict of texts. A RESP2 reply is a flat list of names and
    values; a RESP3 one (which redis-py 8 negotiates when the server offers it) is a map."""
    pairs = raw.items() if isinstance(raw, dict) else zip(raw[::2], raw[1::2])
    return {_text(name): _text(value) for name, value in pairs}


def make_user(admin, name, rules):
    assert admin.execute_command("ACL", "SETUSER", name, "reset", *rules) in ("OK", b"OK")


@pytest.mark.parametrize("rules", sorted(ACL_RULES))
def test_xadd_only_user_delivers_and_can_do_nothing_else(rules, server, admin, send, figures):
    make_user(admin, "logger", ACL_RULES[rules])
    admin.execute_command("ACL", "LOG", "RESET")
    admin.set("secret", "value")
    count = 200
    in_fallback = send("redis://logger:%s@127.0.0.1:%d/0" % (PASSWORD, server.port), count)
    delivered = stream_seqs(server)
    # The connection set-up of this client version needed nothing beyond the grant: any
    # command it tried and was refused would be in the ACL log.
    refused = admin.execute_command("ACL", "LOG")
    figures("[security] ACL user (%s) %s: %d of %d records in the stream, %d in the "
            "fallback; refused while connecting: %d; redis-py %s"
            % (rules, " ".join(r for r in ACL_RULES[rules] if not r.startswith(">")),
               len(delivered), count, len(in_fallback), len(refused), redis.__version__))
    if CLIENT_HAS_USERNAMES:
        assert delivered == list(range(count))
        assert in_fallback == []
        # Newer clients announce themselves with CLIENT SETINFO (Redis 7.2+) and ignore
        # a refusal; anything else refused would be a command the grant lacks.
        assert [e for e in map(acl_log_entry, refused)
                if e.get("object") not in ("client|setinfo", "client")] == []
    else:
        # A client from before Redis 6 drops the user name from the URL and logs in as
        # the default user, which fails: nothing arrives, and nothing is lost either.
        assert delivered == []
        assert in_fallback == list(range(count))

    # Logged in by hand, which works with any redis-py version.
    same_user = redis.Connection(host="127.0.0.1", port=server.port, socket_timeout=5)
    same_user.connect()
    same_user.send_command("AUTH", "logger", PASSWORD)
    assert same_user.read_response() in (b"OK", "OK")
    forbidden = [
        ("XRANGE", "logs:stream", "-", "+"),
        ("XREAD", "STREAMS", "logs:stream", "0"),
        ("XLEN", "logs:stream"),
        ("GET", "secret"),
        ("KEYS", "*"),
        ("SCAN", "0"),
        ("DEL", "logs:stream"),
        ("UNLINK", "logs:stream"),
        ("XTRIM", "logs:stream", "MAXLEN", "0"),
        ("XDEL", "logs:stream", "0-1"),
        ("EXPIRE", "logs:stream", "1"),
        ("RENAME", "logs:stream", "logs:other"),
        ("FLUSHDB",),
        ("FLUSHALL",),
        ("CONFIG", "GET", "*"),
        ("ACL", "LIST"),
        ("SET", "logs:x", "1"),
        # XADD itself, outside the granted keys.
        ("XADD", "other:stream", "*", "payload", "x"),
        ("XADD", "secret", "*", "payload", "x"),
    ]
    try:
        for command in forbidden:
            same_user.send_command(*command)
            with pytest.raises(redis.ResponseError, match="(?i)no permissions"):
                same_user.read_response()
        same_user.send_command("XADD", "logs:stream", "*", "payload", "by hand")
        assert same_user.read_response()
    finally:
        same_user.disconnect()
    assert admin.xlen("logs:stream") == len(delivered) + 1
    assert admin.get("secret") == "value"
    assert not admin.exists("other:stream")


@pytest.mark.parametrize("case", ["stream key outside the grant", "wrong password",
                                  "user disabled"])
def test_refused_user_sends_records_to_fallback(case, server, admin, send):
    rules, password, options = list(ACL_RULES["keys"]), PASSWORD, {}
    if case == "stream key outside the grant":
        options["stream_key"] = "audit:stream"
    elif case == "wrong password":
        password = "not-" + PASSWORD
    else:
        rules[0] = "off"
    make_user(admin, "logger", rules)
    url = "redis://logger:%s@127.0.0.1:%d/0" % (password, server.port)
    assert send(url, 50, **options) == list(range(50))
    assert admin.keys("*") == []


@pytest.fixture
def tls_server(own_server, tmp_path):
    return lambda **options: own_server(tls=make_tls_files(tmp_path), **options)


def tls_url(server, **query):
    base = "rediss://127.0.0.1:%d/0" % server.port
    return base + ("?" + "&".join("%s=%s" % kv for kv in query.items()) if query else "")


@pytest.mark.parametrize("timeout_ms", [5, 1000])
@pytest.mark.parametrize("mutual", [False, True], ids=["server-cert", "mutual"])
def test_tls_server_receives_records(mutual, timeout_ms, tls_server, tmp_path, send, figures):
    server = tls_server(tls_auth_clients=mutual)
    query = {"ssl_ca_certs": server.tls.ca}
    if mutual:
        client_files = make_tls_files(tmp_path, name="client")
        query.update(ssl_certfile=client_files.cert, ssl_keyfile=client_files.key)
    url = tls_url(server, **query)
    count = 200
    in_fallback = send(url, count, timeout_ms=timeout_ms)
    delivered = stream_seqs(server)
    figures("[security] TLS %s timeout_ms=%d: %d of %d in the stream (%d entries), %d in the "
            "fallback; URL %s; redis-py %s"
            % ("mutual" if mutual else "server-cert", timeout_ms, len(set(delivered)), count,
               len(delivered), len(in_fallback), url.replace(str(tmp_path), "<dir>"),
               redis.__version__))
    assert set(delivered) | set(in_fallback) == set(range(count))
    if timeout_ms >= 1000:
        assert sorted(set(delivered)) == list(range(count))
    else:
        # 5 ms covers the TLS handshake on loopback, but a loaded machine may let the
        # first connection time out: that record is in the fallback, not lost.
        assert len(set(delivered)) >= count - 5


@pytest.mark.parametrize("case", ["CA not given", "other CA", "plain redis:// to TLS port",
                                  "no client certificate"])
def test_tls_that_cannot_be_verified_delivers_nothing(case, tls_server, tmp_path, send):
    server = tls_server(tls_auth_clients=(case == "no client certificate"))
    if case == "CA not given":
        # The system's CAs do not know this server's certificate.
        url = tls_url(server)
    elif case == "other CA":
        other = tmp_path / "other"
        other.mkdir()
        url = tls_url(server, ssl_ca_certs=make_tls_files(other).ca)
    elif case == "plain redis:// to TLS port":
        url = "redis://127.0.0.1:%d/0" % server.port
    else:
        url = tls_url(server, ssl_ca_certs=server.tls.ca)
    assert send(url, 30) == list(range(30))
    assert stream_seqs(server) == []
