"""Throwaway redis-server processes on 127.0.0.1, each with a free port and a temporary
directory of its own and no persistence: tests share no state with a system server or each
other. Fault tests kill, pause or restart a process of their own, never the session's."""

import atexit
import collections
import importlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

HOST = "127.0.0.1"
START_TIMEOUT = 5.0
STOP_TIMEOUT = 5.0

_live = set()
# A cluster node also listens on its port + 10000, so redis-server refuses higher ports there.
MAX_PORT = 55535


def free_port():
    """A TCP port on 127.0.0.1, at most MAX_PORT, that nothing listens on right now."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind((HOST, 0))
            port = s.getsockname()[1]
        if port <= MAX_PORT:
            return port


def in_ci():
    return os.environ.get("CI", "").strip().lower() in ("1", "true", "yes")


def unavailable(message):
    """Fails the test in CI and skips it elsewhere: CI must not look green for want of a tool."""
    import pytest

    if in_ci():
        pytest.fail(message, pytrace=False)
    pytest.skip(message)


def require(program, why=""):
    """Path of a program, or unavailable() when it is absent."""
    path = shutil.which(program)
    if path is None:
        unavailable("%s is not installed%s" % (program, why))
    return path


def require_module(name):
    """The imported module, or unavailable() for a test-only extra that is absent."""
    try:
        return importlib.import_module(name)
    except ImportError:
        unavailable("%s is not installed (pip install -r tests/requirements-ecosystem.txt)" % name)


def require_redis_server():
    return require("redis-server", " (scripts/test.sh installs it)")


def _probe(port, timeout, ssl_context=None):
    """Process id of the server answering on the port (over TLS with an ssl_context), 0 when
    it will not say (requirepass: NOAUTH), None when none answers. The id tells our server from
    the port's owner, which answers while ours, failing to bind, exits."""
    try:
        s = socket.create_connection((HOST, port), timeout=timeout)
        if ssl_context is not None:
            s = ssl_context.wrap_socket(s, server_hostname=HOST)  # closes s when it fails
        with s:
            s.sendall(b"INFO server\r\n")
            reply = b""
            while b"process_id:" not in reply or not reply.endswith(b"\r\n"):
                chunk = s.recv(4096)
                reply += chunk
                if not chunk or reply.startswith(b"-"):
                    break
    except (OSError, ValueError):
        return None
    if reply.startswith(b"-"):
        return 0 if reply.startswith(b"-NOAUTH") else None
    found = [line for line in reply.split(b"\r\n") if line.startswith(b"process_id:")]
    return int(found[0].split(b":", 1)[1]) if found else None


def closable(client):
    """The client, with close() even on redis-py 3.x (which had none): tests close what
    they open, whichever client version runs them."""
    if not hasattr(client, "close"):
        client.close = client.connection_pool.disconnect
    return client


# Paths of the PEM files a TLS server needs: its certificate and key, and the CA that signed
# it (which clients use to verify the server).
TlsFiles = collections.namedtuple("TlsFiles", "cert key ca")


def make_tls_files(directory, name="server"):
    """A throwaway CA and a certificate for 127.0.0.1 signed by it (EC P-256, 2 days).

    The extensions satisfy strict X.509 verification (the default of newer Pythons):
    a critical CA basic constraint with key usage, key identifiers on both.
    """
    openssl = require("openssl")
    d = str(directory)
    ca_key, ca_crt = os.path.join(d, "ca.key"), os.path.join(d, "ca.crt")
    key, csr, crt = (os.path.join(d, name + ext) for ext in (".key", ".csr", ".crt"))
    ext = os.path.join(d, name + ".ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=serverAuth,clientAuth\n"
                "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                "subjectKeyIdentifier=hash\n"
                "authorityKeyIdentifier=keyid,issuer\n")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    steps = []
    if not os.path.exists(ca_crt):
        steps.append(["req", "-x509"] + ec + [
            "-keyout", ca_key, "-out", ca_crt, "-days", "2", "-subj", "/CN=quorbel test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
    steps += [
        ["req"] + ec + ["-keyout", key, "-out", csr, "-subj", "/CN=127.0.0.1"],
        ["x509", "-req", "-in", csr, "-CA", ca_crt, "-CAkey", ca_key, "-CAcreateserial",
         "-out", crt, "-days", "2", "-extfile", ext],
    ]
    for step in steps:
        subprocess.run([openssl] + step, check=True, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return TlsFiles(crt, key, ca_crt)


class RedisProcess:
    """One redis-server child process listening on 127.0.0.1 only. With tls (a TlsFiles) it
    speaks TLS only, verified against tls.ca by url, client() and the readiness probe; client
    certificates are asked for only when tls_auth_clients is true."""

    def __init__(self, port=None, args=(), conf_lines=(), tls=None, tls_auth_clients=False):
        self.host = HOST
        self._fixed_port = port is not None
        self.port = port if port is not None else free_port()
        self.args = tuple(str(a) for a in args)
        self.conf_lines = tuple(conf_lines)
        self.tls = tls
        self.tls_auth_clients = tls_auth_clients
        self._proc = None
        self._dir = None
        self._paused = False

    @property
    def url(self):
        if self.tls is not None:
            return "rediss://%s:%d/0?ssl_ca_certs=%s" % (self.host, self.port, self.tls.ca)
        return "redis://%s:%d/0" % (self.host, self.port)

    def _ssl_context(self):
        if self.tls is None:
            return None
        import ssl

        context = ssl.create_default_context(cafile=self.tls.ca)
        if self.tls_auth_clients:
            context.load_cert_chain(self.tls.cert, self.tls.key)
        return context

    @property
    def pid(self):
        return self._proc.pid if self._proc is not None else None

    @property
    def running(self):
        return self._proc is not None and self._proc.poll() is None

    def _log_path(self):
        return os.path.join(self._dir, "redis.log")

    def _command(self):
        cmd = [require_redis_server()]
        if self.conf_lines:
            conf = os.path.join(self._dir, "redis.conf")
            with open(conf, "w", encoding="utf-8") as f:
                f.write("\n".join(self.conf_lines) + "\n")
            cmd.append(conf)
        # Command-line options come after the file so that loopback binding,
        # the port and disabled persistence cannot be overridden by accident.
        port = ["--port", str(self.port)]
        if self.tls is not None:
            port = ["--port", "0", "--tls-port", str(self.port), "--tls-cert-file", self.tls.cert,
                    "--tls-key-file", self.tls.key, "--tls-ca-cert-file", self.tls.ca,
                    "--tls-auth-clients", "yes" if self.tls_auth_clients else "no"]
        cmd += ["--bind", HOST] + port + ["--save", "", "--appendonly", "no", "--dir", self._dir,
                                          "--daemonize", "no", "--logfile", self._log_path()]
        cmd += list(self.args)
        return cmd

    def start(self):
        if self.running:
            return self
        if self._dir is None:
            self._dir = tempfile.mkdtemp(prefix="quorbel-redis-")
        # A port picked by free_port() can be taken by someone else before the
        # server binds it; pick another a few times unless the caller fixed it.
        attempts = 1 if self._fixed_port else 3
        for attempt in range(attempts):
            if attempt:
                self.port = free_port()
            if self._spawn():
                return self
        try:
            with open(self._log_path(), encoding="utf-8", errors="replace") as f:
                log = f.read()[-4000:]
        except OSError:
            log = ""
        raise RuntimeError("redis-server did not answer PING on %s:%d within %.0f s\n%s"
                           % (self.host, self.port, START_TIMEOUT, log))

    def _spawn(self):
        # The sanitizer run preloads its runtime into the interpreter; the
        # server is not ours to instrument.
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        self._proc = subprocess.Popen(self._command(), env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._paused = False
        _live.add(self)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self._proc.poll() is not None:
                break
            answer = _probe(self.port, 0.5, self._ssl_context())
            if answer == self._proc.pid:
                return True
            if answer == 0:
                # Anonymous answer: ours only if our process outlives a failed bind.
                time.sleep(0.2)
                if self._proc.poll() is None:
                    return True
            time.sleep(0.02)
        self._end()
        return False

    def _end(self, kill=False):
        """SIGKILL, or SIGTERM and a wait with SIGKILL on timeout."""
        proc = self._proc
        if proc is not None and proc.poll() is None:
            if self._paused and not kill:
                # A stopped process would only act on SIGTERM once resumed.
                proc.send_signal(signal.SIGCONT)
            proc.kill() if kill else proc.terminate()
            try:
                proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
        if proc is not None:
            proc.wait()
        self._proc = None
        self._paused = False
        _live.discard(self)

    def stop(self):
        """SIGTERM, wait, SIGKILL on timeout; removes the temporary directory."""
        self._end()
        if self._dir is not None:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None

    def kill(self):
        """SIGKILL: the server vanishes without closing anything cleanly."""
        self._end(kill=True)

    def pause(self):
        """SIGSTOP: connections stay open but nothing answers."""
        if not self.running:
            raise RuntimeError("redis-server is not running")
        self._proc.send_signal(signal.SIGSTOP)
        self._paused = True

    def resume(self):
        if self.running:
            self._proc.send_signal(signal.SIGCONT)
        self._paused = False

    def restart(self):
        """Stop and start again on the same port (the data is not kept)."""
        self._end()
        self._fixed_port = True
        return self.start()

    def client(self, **kw):
        import redis

        options = dict(host=self.host, port=self.port, decode_responses=True,
                       socket_timeout=5, socket_connect_timeout=5)
        if self.tls is not None:
            options.update(ssl=True, ssl_ca_certs=self.tls.ca)
            if self.tls_auth_clients:
                options.update(ssl_certfile=self.tls.cert, ssl_keyfile=self.tls.key)
        options.update(kw)
        return closable(redis.Redis(**options))

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def __repr__(self):
        return "<RedisProcess %s:%d pid=%s>" % (self.host, self.port, self.pid)


@atexit.register
def _stop_leftovers():
    # A test that forgot to stop its server must not leave it running.
    for proc in list(_live):
        proc.stop()
