"""RedisStreamHandler beyond one server: a three-master Redis Cluster and a
Sentinel-managed master/replica pair that fails over while records are logged.

Every server here is a throwaway child process on 127.0.0.1 (redis_proc), and
every wait is bounded, so a broken setup fails in seconds instead of hanging.
"""

import json
import subprocess
import time

import pytest

import quorbel
from readback import read_fallback, read_stream, seqs
from redis_proc import HOST, RedisProcess, require, unavailable

redis = pytest.importorskip("redis")

# How long any one setup step (cluster state, replication, sentinel discovery,
# failover) may take before the test gives up.
SETUP_TIMEOUT = 20.0


def needs(condition, message):
    if not condition:
        unavailable(message)


@pytest.fixture(autouse=True)
def _needs_client_library():
    needs(quorbel.HAS_REDIS, "quorbel was imported without the redis library")


def wait_for(what, predicate, timeout=SETUP_TIMEOUT, interval=0.05):
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline:
        try:
            if predicate():
                return
        except redis.RedisError as exc:
            last_error = exc
        time.sleep(interval)
    raise AssertionError("timed out after %.0f s waiting for %s (last error: %r)"
                         % (timeout, what, last_error))


# --- Redis Cluster ------------------------------------------------------------

@pytest.fixture
def cluster():
    """Three cluster-enabled masters joined by redis-cli, slots split between them."""
    cli = require("redis-cli", " (scripts/test.sh installs redis-tools)")
    needs(hasattr(redis, "cluster"), "redis %s has no cluster client (needs 4.1 or later)"
            % redis.__version__)
    nodes = [RedisProcess(args=["--cluster-enabled", "yes",
                                "--cluster-config-file", "nodes.conf",
                                "--cluster-node-timeout", "2000"]) for _ in range(3)]
    try:
        for node in nodes:
            node.start()
        proc = subprocess.run(
            [cli, "--cluster", "create"] + ["%s:%d" % (HOST, n.port) for n in nodes]
            + ["--cluster-replicas", "0", "--cluster-yes"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            universal_newlines=True, timeout=SETUP_TIMEOUT)
        assert proc.returncode == 0, proc.stdout
        admins = [n.client() for n in nodes]
        wait_for("cluster_state:ok on every node", lambda: all(
            a.execute_command("CLUSTER", "INFO").find("cluster_state:ok") >= 0 for a in admins))
        # Every node must also know where every slot lives, or the client may be
        # redirected mid-test while gossip settles.
        wait_for("agreement on the slot map", lambda: len({
            str(sorted(a.execute_command("CLUSTER", "SLOTS"))) for a in admins}) == 1)
        yield nodes, admins
        for a in admins:
            a.close()
    finally:
        for node in nodes:
            node.stop()


def slot_owner(admin, slot):
    """Port of the master that serves the slot, from CLUSTER SLOTS."""
    for entry in admin.execute_command("CLUSTER", "SLOTS"):
        start, end, master = entry[0], entry[1], entry[2]
        if int(start) <= slot <= int(end):
            return int(master[1])
    raise AssertionError("slot %d is not served" % slot)


def test_cluster_records_reach_every_slot_owner(cluster, logger):
    from redis.cluster import RedisCluster

    nodes, admins = cluster
    # Two stream keys per master, each in its own hash slot.
    keys_by_port = {n.port: [] for n in nodes}
    slots = set()
    for i in range(10000):
        key = "eco:cluster:%d" % i
        slot = int(admins[0].execute_command("CLUSTER", "KEYSLOT", key))
        port = slot_owner(admins[0], slot)
        if slot not in slots and len(keys_by_port[port]) < 2:
            keys_by_port[port].append(key)
            slots.add(slot)
        if all(len(v) == 2 for v in keys_by_port.values()):
            break
    keys = sorted(k for v in keys_by_port.values() for k in v)
    assert len(keys) == 6 and len(slots) == 6

    client = RedisCluster(host=HOST, port=nodes[0].port, socket_timeout=2,
                          socket_connect_timeout=2)
    try:
        # One handler per stream: each record goes to every key.
        for key in keys:
            logger.addHandler(quorbel.RedisStreamHandler(
                client=client, stream_key=key, maxlen=1000, default_labels={"shard": key}))
        app = quorbel.RedisAppLogger(logger)
        per_key = 40
        for seq in range(per_key):
            app.info("cluster record", ctx={"seq": seq})
    finally:
        client.close()

    # Read every stream from the master that owns its slot, not through the
    # cluster client: the records must sit where the slot map says.
    for node, admin in zip(nodes, admins):
        for key in keys_by_port[node.port]:
            got = read_stream(admin, key)
            assert seqs(got) == list(range(per_key)), key
            assert all(p["labels"] == {"shard": key} for p in got)
        assert int(admin.dbsize()) == 2  # each master holds its own two streams, nothing else


# --- Sentinel failover ----------------------------------------------------------

MASTER_NAME = "ecomaster"
# Small, so that the whole failover fits in a few seconds.
DOWN_AFTER_MS = 400
FAILOVER_TIMEOUT_MS = 3000


@pytest.fixture
def sentinel_group():
    """A master, one replica and three sentinels watching them (quorum 2)."""
    needs(hasattr(redis, "sentinel"), "redis %s has no sentinel client" % redis.__version__)
    master = RedisProcess().start()
    procs = [master]
    try:
        replica = RedisProcess(args=["--replicaof", HOST, str(master.port)]).start()
        procs.append(replica)
        rep = replica.client()
        wait_for("the replica to sync", lambda: rep.info("replication")["master_link_status"] == "up")
        rep.close()
        sentinels = []
        for _ in range(3):
            s = RedisProcess(
                conf_lines=[
                    "sentinel monitor %s %s %d 2" % (MASTER_NAME, HOST, master.port),
                    "sentinel down-after-milliseconds %s %d" % (MASTER_NAME, DOWN_AFTER_MS),
                    "sentinel failover-timeout %s %d" % (MASTER_NAME, FAILOVER_TIMEOUT_MS),
                    "sentinel parallel-syncs %s 1" % MASTER_NAME,
                ],
                args=["--sentinel"])
            procs.append(s.start())
            sentinels.append(s)

        def discovered():
            for s in sentinels:
                c = s.client()
                try:
                    state = c.execute_command("SENTINEL", "MASTER", MASTER_NAME)
                finally:
                    c.close()
                if isinstance(state, list):  # older clients return the flat reply
                    state = dict(zip(state[::2], state[1::2]))
                if int(state["num-other-sentinels"]) != 2 or int(state["num-slaves"]) != 1:
                    return False
            return True

        wait_for("the sentinels to find each other and the replica", discovered, interval=0.2)
        yield master, replica, sentinels
    finally:
        for p in reversed(procs):
            p.stop()


def test_sentinel_failover_loses_nothing(sentinel_group, logger, tmp_path):
    from redis.backoff import NoBackoff
    from redis.retry import Retry
    from redis.sentinel import Sentinel

    master, replica, sentinels = sentinel_group
    key = "eco:sentinel"
    fallback = tmp_path / "fallback.log"
    sentinel = Sentinel([(HOST, s.port) for s in sentinels], socket_timeout=0.2,
                        socket_connect_timeout=0.2)
    # A logging client fails fast: short timeouts and no retries of its own, so
    # a record waits at most a fraction of a second before going to the file.
    client = sentinel.master_for(MASTER_NAME, socket_timeout=0.2, socket_connect_timeout=0.2,
                                 retry=Retry(NoBackoff(), 0))
    handler = quorbel.RedisStreamHandler(client=client, stream_key=key, maxlen=0,
                                         fallback_file_path=str(fallback))
    logger.addHandler(handler)
    app = quorbel.RedisAppLogger(logger)

    seq = 0
    interval = 0.005

    def log_one():
        nonlocal seq
        app.info("numbered", ctx={"seq": seq})
        seq += 1
        time.sleep(interval)

    for _ in range(100):
        log_one()
    old = master.client()
    # Replication is asynchronous: what the old master acknowledged but had not
    # yet passed on is lost with it on a crash, whoever wrote it. Wait until the
    # replica holds everything so far; the handler's own behaviour is what is measured.
    assert int(old.execute_command("WAIT", 1, 2000)) == 1
    old.close()
    master.kill()
    killed_at = time.monotonic()
    first_after = None
    deadline = killed_at + SETUP_TIMEOUT
    new = replica.client()
    try:
        while time.monotonic() < deadline:
            before = seq
            log_one()
            try:
                last = new.xrevrange(key, count=1)
            except redis.exceptions.ConnectionError:
                # Sentinel drops the clients of the replica it promotes, within the same
                # transaction that makes it a master: the next read reconnects.
                continue
            if last and json.loads(last[0][1]["payload"])["ctx"]["seq"] == before:
                first_after = before
                break
        recovered_s = time.monotonic() - killed_at
        assert first_after is not None, "no record reached the promoted replica within %.0f s" % (
            SETUP_TIMEOUT)
        for _ in range(100):
            log_one()
        assert new.info("replication")["role"] == "master"
        assert handler._client is client  # the same handler and client carried on
        in_stream = seqs(read_stream(new, key))
        in_file = seqs(read_fallback(fallback))
    finally:
        new.close()

    total = seq
    lost = sorted(set(range(total)) - set(in_stream) - set(in_file))
    duplicated = sorted(set(in_stream) & set(in_file))
    print("\nsentinel failover: %d records, %d in the stream, %d in the fallback file, "
          "%d lost, %d in both, first record on the new master %.2f s after the kill"
          % (total, len(in_stream), len(in_file), len(lost), len(duplicated), recovered_s))
    assert lost == []
    # Records before the kill, and from recovery on, went to the stream in order.
    assert in_stream[:100] == list(range(100))
    assert in_stream[-101:] == list(range(first_after, total))
    # The gap went to the file: the records between the kill and recovery.
    assert in_file, "no record went to the fallback file while there was no master"
    assert in_file == sorted(in_file) and min(in_file) >= 100
    # From recovery on a record reaches the file only through a timeout of a busy machine whose
    # append still landed: it is in the stream too.
    assert {seq for seq in in_file if seq >= first_after} <= set(in_stream)
    # A record is in both places only if the old master took it but its reply was
    # lost: with the master killed between records that cannot happen here.
    assert duplicated == []
    assert recovered_s < SETUP_TIMEOUT
