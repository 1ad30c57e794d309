"""Every Python snippet of README.md, run as a user would paste it: alone, in a fresh
interpreter, in an empty directory, with quorbel and redis importable. Local redis-servers
stand in for the addresses the snippets name; nothing else of a snippet is changed."""

import os
import re
import subprocess
import sys
import time

import pytest

from commands import REPO, env
from redis_proc import RedisProcess, require_redis_server

redis = pytest.importorskip("redis")

LOGGING_CALL = re.compile(r"\.(debug|info|warning|error|exception|critical)\(")
ADDRESS = re.compile(r"(rediss?://)([^/\s\"']+)")
# README address -> the server standing in for it.
PLAIN = ("127.0.0.1:6379", "cache:6379")
CLUSTER = ("127.0.0.1:7000",)
# What a snippet imports -> the oldest redis-py that has it (the README's client versions).
NEEDS = {"redis.cluster": (4, 1), "redis.retry": (4, 0), "redis.backoff": (4, 0)}


def snippets():
    """(section-N, code) of each python block, named after the section it is in."""
    found, section, block = [], "top", None
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        for line in f:
            if block is not None:
                if line.startswith("```"):
                    found.append(("%s-%d" % (section, len(found)), "".join(block)))
                    block = None
                else:
                    block.append(line)
            elif line.startswith("## "):
                section = re.sub(r"[^a-z]+", "-", line[3:].lower()).strip("-")
            elif line.strip() == "```python":
                block = []
    return found


SNIPPETS = snippets()


@pytest.fixture(scope="module")
def cluster_server():
    """A one-node Redis Cluster holding every hash slot."""
    require_redis_server()
    with RedisProcess(args=["--cluster-enabled", "yes"]) as server:
        client = server.client()
        client.execute_command("CLUSTER", "ADDSLOTS", *range(16384))
        deadline = time.monotonic() + 30
        while "cluster_state:ok" not in client.execute_command("CLUSTER", "INFO"):
            assert time.monotonic() < deadline, "the one-node cluster never became ready"
            time.sleep(0.05)
        client.close()
        yield server


def on(server, act):
    client = server.client()
    try:
        return act(client)
    finally:
        client.close()


def stream_entries(client):
    return sum(client.xlen(k) for k in client.scan_iter() if client.type(k) == "stream")


@pytest.mark.parametrize("code", [c for _, c in SNIPPETS], ids=[n for n, _ in SNIPPETS])
def test_snippet_runs_alone(code, request, redis_server, redis_url, tmp_path):
    version = tuple(int(p) for p in re.findall(r"\d+", redis.__version__)[:2])
    for module, oldest in NEEDS.items():
        if module in code and version < oldest:
            pytest.skip("%s needs redis-py %d.%d+" % ((module,) + oldest))
    servers = {a: redis_server for a in PLAIN}
    if any(a in code for a in CLUSTER):
        cluster = request.getfixturevalue("cluster_server")
        servers.update((a, cluster) for a in CLUSTER)
        on(cluster, lambda c: c.flushall())
    unknown = set(m.group(2) for m in ADDRESS.finditer(code)) - set(servers)
    assert not unknown, "no stand-in server for %s" % sorted(unknown)
    code = ADDRESS.sub(lambda m: "%s127.0.0.1:%d" % (m.group(1), servers[m.group(2)].port), code)

    done = subprocess.run([sys.executable, "-c", code], cwd=str(tmp_path), env=env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120,
                          encoding="utf-8")
    assert (done.returncode, done.stderr) == (0, ""), code

    if LOGGING_CALL.search(code):
        # In a stream, or (a timeout under load) in a fallback or spill file: never nowhere.
        delivered = sum(on(s, stream_entries) for s in set(servers.values()))
        kept = sum(len(p.read_text(encoding="utf-8").splitlines()) for p in tmp_path.iterdir())
        assert delivered + kept > 0, "the snippet's records reached neither Redis nor a file"
