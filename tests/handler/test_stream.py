"""RedisStreamHandler against a real redis-server through the redis client library (a server
that fails: tests/reliability/test_faults.py)."""

import json
import time

import pytest

import quorbel
from quorbel import RedisStreamHandler

redis = pytest.importorskip("redis")

# Generous timeouts: these tests check delivery, not latency, on a shared machine.
TIMEOUT_MS = 2000


pytestmark = pytest.mark.skipif(not quorbel.HAS_REDIS,
                                reason="quorbel was imported without the redis library")


def payloads(client, key="logs:stream"):
    out = []
    for _, fields in client.xrange(key):
        assert list(fields) == ["payload"]
        out.append(fields["payload"])
    return out


def test_entries_round_trip(redis_url, redis_client, logger):
    h = RedisStreamHandler(redis_url=redis_url, timeout_ms=TIMEOUT_MS,
                           default_labels={"app": "api", "env": "prod"})
    logger.addHandler(h)
    before = time.time_ns()
    logger.info("login %s", "ok", extra={"labels": {"env": "dev", "n": 2},
                                         "ctx": {"user_id": 42, "tags": ["a", "b"]}})
    logger.warning("café ☕ at 100%")
    logger.critical("down", extra={"ctx": [1, 2]})
    logger.debug("quiet", extra={"labels": {"env": None}})
    after = time.time_ns()

    texts = payloads(redis_client)
    assert len(texts) == 4
    for text in texts:  # compact and unescaped: as json.dumps writes it so
        assert text == json.dumps(json.loads(text), separators=(",", ":"), ensure_ascii=False)
    decoded = [json.loads(t) for t in texts]
    for p in decoded:
        assert list(p) == ["ts", "level", "msg", "labels", "ctx"]
        assert len(p["ts"]) == 19 and p["ts"].isdigit() and before <= int(p["ts"]) <= after
    assert [int(p["ts"]) for p in decoded] == sorted(int(p["ts"]) for p in decoded)
    assert [(p["level"], p["msg"]) for p in decoded] == [
        ("info", "login ok"), ("warning", "café ☕ at 100%"), ("critical", "down"),
        ("debug", "quiet")]
    assert [p["labels"] for p in decoded] == [
        {"app": "api", "env": "dev", "n": "2"}, {"app": "api", "env": "prod"},
        {"app": "api", "env": "prod"}, {"app": "api", "env": "prod"}]
    assert [p["ctx"] for p in decoded] == [
        {"user_id": 42, "tags": ["a", "b"]}, {}, [1, 2], {}]


@pytest.mark.parametrize("maxlen", [100, 0, -1])
def test_approximate_trimming_only_with_a_positive_maxlen(redis_url, redis_client, logger,
                                                          maxlen):
    logger.addHandler(RedisStreamHandler(redis_url=redis_url, timeout_ms=TIMEOUT_MS,
                                         maxlen=maxlen))
    for i in range(1000):
        logger.info("n%d", i)
    length = redis_client.xlen("logs:stream")
    # Approximate trimming removes whole nodes only: the length stays at or above the cap.
    assert (100 <= length < 500) if maxlen > 0 else length == 1000
    assert json.loads(payloads(redis_client)[-1])["msg"] == "n999"


def test_wrong_type_key_goes_to_fallback(redis_url, redis_client, logger, tmp_path):
    redis_client.set("logs:stream", "not a stream")
    path = tmp_path / "fallback.log"
    logger.addHandler(RedisStreamHandler(redis_url=redis_url, timeout_ms=TIMEOUT_MS,
                                         fallback_file_path=str(path)))
    logger.info("first")
    logger.info("second")
    lines = path.read_text(encoding="utf-8").splitlines()
    assert [json.loads(line)["msg"] for line in lines] == ["first", "second"]
    assert redis_client.get("logs:stream") == "not a stream"
