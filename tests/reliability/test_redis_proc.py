"""The throwaway server that fault tests lean on: each fault must be real, and undone."""

import os

import pytest

from redis_proc import RedisProcess, _probe, free_port


def ask(proc, command, *args):
    client = proc.client()
    try:
        return getattr(client, command)(*args)
    finally:
        client.close()


def test_listens_on_loopback_without_persistence_and_stop_removes_its_directory(server):
    config = ask(server, "config_get", "*")
    assert [config[k] for k in ("bind", "save", "appendonly")] == ["127.0.0.1", "", "no"]
    directory = config["dir"]
    assert directory != os.getcwd() and os.path.isdir(directory)
    server.stop()
    assert not os.path.exists(directory) and server.pid is None


@pytest.mark.parametrize("fault, undo, comes_back", [
    ("kill", "restart", True), ("pause", "resume", True), ("pause", "stop", False),
    ("stop", None, False)])
def test_faults_take_the_server_away_and_undo_brings_it_back(server, fault, undo, comes_back):
    # A raw probe: the client library's own retries would only slow this down.
    port, pid = server.port, server.pid
    ask(server, "set", "k", "v")
    getattr(server, fault)()
    assert _probe(port, 0.5) is None
    if undo:
        getattr(server, undo)()
    assert (_probe(port, 2) is not None) is comes_back and server.port == port
    if comes_back and undo == "restart":
        assert ask(server, "get", "k") is None  # the data is not kept
    if not comes_back:
        with pytest.raises(OSError):  # not even a stopped process is left behind
            os.kill(pid, 0)


def test_a_taken_fixed_port_fails_fast_with_the_server_log(server):
    with pytest.raises(RuntimeError, match="did not answer PING"):
        RedisProcess(port=server.port).start()
    assert free_port() + 10000 <= 65535  # room for a cluster node's bus port
