"""The throwaway server that fault tests lean on: each fault must be real, and undone."""

import os

import pytest

from redis_proc import RedisProcess, _probe, free_port, make_tls_files, require_redis_server


def answers(proc, timeout=0.5):
    # A raw probe: the client library's own retries would only slow this down.
    return _probe(proc.port, timeout) is not None


def test_listens_on_loopback_without_persistence(server):
    client = server.client()
    try:
        assert client.ping()
        config = client.config_get("*")
        assert config["bind"] == "127.0.0.1"
        assert config["save"] == ""
        assert config["appendonly"] == "no"
        assert config["dir"] != os.getcwd()
    finally:
        client.close()


@pytest.mark.parametrize("fault, undo, comes_back", [
    ("kill", "restart", True),
    ("pause", "resume", True),
    ("stop", None, False),
])
def test_faults_take_the_server_away_and_undo_brings_it_back(server, fault, undo, comes_back):
    port = server.port
    getattr(server, fault)()
    assert not answers(server)
    if undo:
        getattr(server, undo)()
    assert answers(server, timeout=2) is comes_back
    assert server.port == port


def test_restart_keeps_the_port_and_loses_the_data(server):
    client = server.client()
    client.set("k", "v")
    client.close()
    port = server.port
    server.restart()
    client = server.client()
    try:
        assert server.port == port
        assert client.get("k") is None
    finally:
        client.close()


def test_stop_removes_the_temporary_directory(server):
    client = server.client()
    directory = client.config_get("dir")["dir"]
    client.close()
    assert os.path.isdir(directory)
    server.stop()
    assert not os.path.exists(directory)
    assert server.pid is None


def test_stop_ends_a_paused_server():
    require_redis_server()
    proc = RedisProcess().start()
    pid = proc.pid
    proc.pause()
    proc.stop()
    with pytest.raises(OSError):
        os.kill(pid, 0)


@pytest.mark.parametrize("kw, key, expected", [
    ({"args": ["--maxmemory", "12mb"]}, "maxmemory", str(12 * 1024 * 1024)),
    ({"conf_lines": ["maxmemory-policy allkeys-lru"]}, "maxmemory-policy", "allkeys-lru"),
])
def test_options_reach_the_server(kw, key, expected):
    require_redis_server()
    with RedisProcess(**kw) as proc:
        client = proc.client()
        try:
            assert client.config_get(key)[key] == expected
        finally:
            client.close()


def test_a_password_protected_server_counts_as_started():
    require_redis_server()
    with RedisProcess(conf_lines=["requirepass s3cret"]) as proc:
        client = proc.client(password="s3cret")
        try:
            assert client.ping()
        finally:
            client.close()


def test_a_taken_fixed_port_fails_fast_with_the_server_log(server):
    with pytest.raises(RuntimeError, match="did not answer PING"):
        RedisProcess(port=server.port).start()


def test_free_port_is_bindable_and_leaves_room_for_a_cluster_bus():
    import socket

    port = free_port()
    assert port + 10000 <= 65535
    with socket.socket() as s:
        s.bind(("127.0.0.1", port))


def test_a_tls_server_speaks_only_tls(tmp_path):
    require_redis_server()
    with RedisProcess(tls=make_tls_files(tmp_path)) as proc:
        assert proc.url.startswith("rediss://127.0.0.1:%d/0?" % proc.port)
        # The plain probe gets no answer; the verified TLS one names our process.
        assert _probe(proc.port, 0.5) is None
        assert _probe(proc.port, 2, proc._ssl_context()) == proc.pid
        client = proc.client()
        try:
            assert client.ping()
            assert client.config_get("port")["port"] == "0"
        finally:
            client.close()
