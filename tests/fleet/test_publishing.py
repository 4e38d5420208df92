"""k73log publishing to a real mosquitto: whatever the broker, the network,
the converter or k73log itself does, the set of (id, seq) a persistent
subscriber receives equals the set in k73log's spool, with the same values.

Every process a test starts is ended by the test, by its pid."""

import json
import os
import resource
import signal
import socket
import subprocess
import threading
import time
import urllib.parse
import urllib.request

import paho.mqtt.client as mqtt
import pytest

SIM = os.environ["K73SIM"]
LOG = os.environ["K73LOG"]
UNIT = os.environ["K73LOG_UNIT"]
PREFIX = "lab/k73"
KEEPALIVE = 5
# One channel at the fastest rate: about 25 scans/s.
LOG_ARGS = ["--channels", "0,1", "--rate", "1027", "--mqtt-keepalive", str(KEEPALIVE),
            "--mqtt-drain", "5", "-o", "run.jsonl"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(done, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while not done():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


def end(proc, sig=signal.SIGTERM, timeout=15):
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


class Broker:
    """mosquitto as the current user, persistence on, in its own directory."""

    def __init__(self, where, extra=""):
        self.dir = os.path.join(where, "broker")
        os.makedirs(self.dir, exist_ok=True)
        self.port = free_port()
        self.conf = os.path.join(self.dir, "mosquitto.conf")
        user = subprocess.check_output(["id", "-un"], text=True).strip()
        with open(self.conf, "w") as f:
            f.write("user %s\nlistener %d 127.0.0.1\npersistence true\n"
                    "persistence_location %s/\nautosave_interval 1\n%s"
                    % (user, self.port, self.dir, extra or "allow_anonymous true\n"))
        self.proc = None
        self.start()

    def start(self):
        self.log = open(os.path.join(self.dir, "broker.log"), "a")
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=self.log,
                                     stderr=subprocess.STDOUT)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        assert wait_for(listening, 10), "mosquitto did not start"

    def stop(self, sig=signal.SIGTERM):
        end(self.proc, sig)
        self.log.close()

    def url(self, auth=""):
        return "mqtt://%s127.0.0.1:%d/%s" % (auth, self.port, PREFIX)


class Subscriber:
    """A persistent session (fixed client id, clean session off) on PREFIX/#."""

    def __init__(self, broker):
        self.scans = []  # (id, seq, object)
        self.events = []
        self.status = {}
        self.messages = 0
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id="test-subscriber", clean_session=False)
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(PREFIX + "/#", qos=1)
        self.client.on_message = self.on_message
        self.client.reconnect_delay_set(0.2, 1)
        self.client.connect("127.0.0.1", broker.port, keepalive=KEEPALIVE)
        self.client.loop_start()

    def on_message(self, client, userdata, msg):
        logger, kind = msg.topic.split("/")[-2:]
        with self.lock:
            if kind == "scans":
                self.messages += 1
                for scan in json.loads(msg.payload):
                    self.scans.append((logger, scan["seq"], scan))
            elif kind == "events":
                self.events.append(json.loads(msg.payload))
            elif kind == "status":
                self.status[logger] = msg.payload.decode()

    def received(self):
        with self.lock:
            return {(logger, seq): scan for logger, seq, scan in self.scans}

    def stop(self):
        self.client.loop_stop()
        self.client.disconnect()


class Logger:
    def __init__(self, *args, name="k73log"):
        self.err_path = os.path.abspath(name + ".stderr")
        with open(self.err_path, "a") as err:
            self.proc = subprocess.Popen([LOG, "--verbose"] + list(args), stdout=subprocess.DEVNULL,
                                         stderr=err)

    def err(self):
        with open(self.err_path) as f:
            return f.read()

    def scans_written(self, path="run.jsonl"):
        try:
            with open(path) as f:
                return sum(1 for line in f if line.startswith(('{"seq"', '{"time_utc"')))
        except FileNotFoundError:
            return 0


def spooled(state_dir):
    with open(os.path.join(state_dir, "spool.jsonl")) as f:
        return [json.loads(line) for line in f]


def assert_delivered(sub, logger_id, state_dir, timeout=20):
    """The subscriber holds every spooled scan of the logger, values and all,
    and nothing else; seq runs 1, 2, 3 ... with no repeats."""
    spool = spooled(state_dir)
    assert [s["seq"] for s in spool] == list(range(1, len(spool) + 1))
    want = {(logger_id, s["seq"]): s for s in spool}
    wait_for(lambda: set(want) <= set(sub.received()), timeout)
    got = {key: scan for key, scan in sub.received().items() if key[0] == logger_id}
    assert set(got) == set(want), "missing %s, extra %s" % (
        sorted(set(want) - set(got))[:10], sorted(set(got) - set(want))[:10])
    assert got == want
    for scan in spool:
        assert scan["ch0.0_mV"] == 1234.5 and scan["ch1.0_mV"] == 2500.0
    return spool


@pytest.fixture
def bench(tmp_path):
    """A working directory with a converter on COM1; what is started is ended."""
    previous = os.getcwd()
    os.chdir(tmp_path)
    started = []
    sim = subprocess.Popen([SIM, "--quiet", "--noise", "0"], stdout=subprocess.DEVNULL)
    assert wait_for(lambda: os.path.exists("COM1"), 10)
    started.append(sim)

    class Bench:
        path = str(tmp_path)
        sim_proc = sim

        def restart_sim(self):
            self.sim_proc = subprocess.Popen([SIM, "--quiet", "--noise", "0"],
                                             stdout=subprocess.DEVNULL)
            started.append(self.sim_proc)

        def track(self, thing):
            started.append(thing)
            return thing

    yield Bench()
    for thing in reversed(started):
        if isinstance(thing, subprocess.Popen):
            end(thing, signal.SIGKILL)
        elif isinstance(thing, Broker):
            if thing.proc.poll() is None:
                thing.stop(signal.SIGKILL)
        elif isinstance(thing, Logger):
            end(thing.proc, signal.SIGKILL)
        else:
            thing.stop()
    os.chdir(previous)


def test_broker_restarts_and_an_unplugged_converter_lose_nothing(bench):
    broker = bench.track(Broker(bench.path))
    sub = bench.track(Subscriber(broker))
    log = bench.track(Logger("--mqtt", broker.url(), "--id", "bench1", "--state-dir", "state",
                             *LOG_ARGS))
    assert wait_for(lambda: log.scans_written() > 30, 30), log.err()

    broker.stop(signal.SIGTERM)
    time.sleep(2)
    broker.start()
    assert wait_for(lambda: "online" == sub.status.get("bench1"), 15)
    time.sleep(2)
    broker.stop(signal.SIGKILL)
    time.sleep(2)
    broker.start()

    # The converter unplugged and back: a gap event, and seq runs on.
    end(bench.sim_proc, signal.SIGKILL)
    written = log.scans_written()
    time.sleep(3)
    bench.restart_sim()
    assert wait_for(lambda: log.scans_written() > written + 25, 40), log.err()

    assert end(log.proc) == 0, log.err()
    spool = assert_delivered(sub, "bench1", "state")
    # The jsonl log carries the same scans with the same seq.
    with open("run.jsonl") as f:
        assert [json.loads(line) for line in f if line.startswith('{"seq"')] == spool
    assert wait_for(lambda: sub.status.get("bench1") == "offline", 5)
    kinds = [e["event"] for e in sub.events]
    assert kinds[0] == "start" and kinds[-1] == "end"
    assert "gap" in kinds and kinds.count("reconnect") >= 2
    assert sub.events[0]["run"]["columns"] == ["ch0.0_mV", "ch1.0_mV"]
    # Batches of up to 25 scans: far fewer messages than scans.
    assert sub.messages < len(spool) / 5


def test_logger_killed_during_an_outage_resends_from_its_spool(bench):
    broker = bench.track(Broker(bench.path))
    sub = bench.track(Subscriber(broker))
    args = ["--mqtt", broker.url(), "--id", "bench2", "--state-dir", "state",
            "--mqtt-batch", "1"] + LOG_ARGS
    first = bench.track(Logger(*args))
    assert wait_for(lambda: first.scans_written() > 10, 30), first.err()

    # Down for far more scans than the in-flight window (20 messages of one
    # scan each), and k73log killed while it is down.
    broker.stop()
    written = first.scans_written()
    assert wait_for(lambda: first.scans_written() > written + 75, 20)
    end(first.proc, signal.SIGKILL)
    broker.start()

    second = bench.track(Logger(*args, name="second"))
    assert wait_for(lambda: sub.status.get("bench2") == "online", 30), second.err()
    assert wait_for(lambda: len(sub.received()) >= len(spooled("state")) - 5, 30)
    # Killed with the broker up: the broker's last will says offline within
    # 1.5 keep-alive periods.
    end(second.proc, signal.SIGKILL)
    killed = time.monotonic()
    assert wait_for(lambda: sub.status.get("bench2") == "offline", 1.5 * KEEPALIVE)
    assert time.monotonic() - killed <= 1.5 * KEEPALIVE

    third = bench.track(Logger(*(args + ["--count", "5"]), name="third"))
    assert third.proc.wait(60) == 0, third.err()
    spool = assert_delivered(sub, "bench2", "state")
    with open("state/acked-seq") as f:
        assert int(f.read()) == len(spool)
    # At least once: a duplicate only within one window per interruption.
    assert len(sub.scans) - len(spool) <= 3 * 20


def test_broker_trouble_never_stops_the_measurement(bench):
    # A malformed URL is a usage error of one line.
    for url in ["mqtt://127.0.0.1", "http://h/p", "mqtt://h:99999/p", "mqtt://h/a/+/b"]:
        bad = subprocess.run([LOG, "--mqtt", url, "--count", "1"], capture_output=True,
                             text=True, timeout=30)
        assert bad.returncode == 2 and bad.stderr.count("\n") == 1, (url, bad.stderr)

    # Nothing listening: the run logs and spools and says why.
    nobody = free_port()
    log = Logger("--mqtt", "mqtt://127.0.0.1:%d/%s" % (nobody, PREFIX), "--id", "alone",
                 "--state-dir", "alone", "--count", "20", "--mqtt-drain", "1",
                 *LOG_ARGS[:-2], "-o", "alone.jsonl", name="alone")
    bench.track(log)
    assert log.proc.wait(60) == 0, log.err()
    assert log.scans_written("alone.jsonl") == 20
    assert len(spooled("alone")) == 20
    assert "Connection refused" in log.err() and "20 scans not yet taken" in log.err()

    # A full disk (here: a file size limit) ends the run with exit 1 and the reason.
    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (3000, 3000))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    full = subprocess.run([LOG, "--mqtt", "mqtt://127.0.0.1:%d/%s" % (nobody, PREFIX),
                           "--state-dir", "full", "--mqtt-drain", "0", *LOG_ARGS[:-2],
                           "-o", "/dev/null"], preexec_fn=small_files, capture_output=True,
                          text=True, timeout=60)
    assert full.returncode == 1, full.stderr
    assert "cannot write the spool" in full.stderr and "File too large" in full.stderr
    assert all(line.endswith("}") for line in open("full/spool.jsonl").read().splitlines())

    # Wrong credentials: refused by the broker, with its reason.
    passwords = os.path.join(bench.path, "passwords")
    subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, "k73", "right"], check=True,
                   capture_output=True)
    broker = bench.track(Broker(bench.path, "allow_anonymous false\npassword_file %s\n" % passwords))
    with open("config", "w") as f:
        f.write("# a service's options\nmqtt = %s\nid = from-file\nstate-dir = creds\n"
                "count = 999\nmqtt-drain = 1\nrate = 1027  # fast\nno-header = true\n"
                "wait-for-converter = false\n" % broker.url("k73:wrong@"))
    log = Logger("--config", "config", "--count", "10", "-o", "creds.jsonl", name="creds")
    bench.track(log)
    assert log.proc.wait(60) == 0, log.err()
    assert log.scans_written("creds.jsonl") == 10  # the command line on top of the file
    assert "not authorised" in log.err()
    assert len(spooled("creds")) == 10

    # The same spool goes out once the password is right.
    with open("password", "w") as f:
        f.write("right\n")
    log = Logger("--config", "config", "--mqtt", broker.url("k73@"), "--mqtt-password-file",
                 "password", "--count", "1", "--mqtt-drain", "10", "-o", "creds.jsonl",
                 name="creds2")
    bench.track(log)
    assert log.proc.wait(60) == 0, log.err()
    with open("creds/acked-seq") as f:
        assert int(f.read()) == 11


def test_influx_payloads_are_points_for_influxdb(bench):
    broker = bench.track(Broker(bench.path))
    influx_dir = os.path.join(bench.path, "influx")
    http_port, rpc_port = free_port(), free_port()
    with open(os.path.join(bench.path, "influxdb.conf"), "w") as f:
        f.write('reporting-disabled = true\nbind-address = "127.0.0.1:%d"\n'
                '[meta]\n  dir = "%s/meta"\n[data]\n  dir = "%s/data"\n  wal-dir = "%s/wal"\n'
                '[http]\n  bind-address = "127.0.0.1:%d"\n  log-enabled = false\n'
                % (rpc_port, influx_dir, influx_dir, influx_dir, http_port))
    influxd = bench.track(subprocess.Popen(["influxd", "-config", "influxdb.conf"],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    base = "http://127.0.0.1:%d" % http_port

    def query(q):
        url = base + "/query?" + urllib.parse.urlencode({"q": q, "db": "k73"})
        with urllib.request.urlopen(urllib.request.Request(url, method="POST"), timeout=5) as r:
            return json.load(r)

    def up():
        try:
            query("CREATE DATABASE k73")
            return True
        except OSError:
            return False
    assert wait_for(up, 30, 0.2), "influxd did not start"

    # The subscriber hands every payload to InfluxDB's write endpoint unchanged.
    statuses = []
    client = mqtt.Client(client_id="influx-bridge", clean_session=False)

    def write(c, u, msg):
        req = urllib.request.Request(base + "/write?db=k73&precision=ns", data=msg.payload,
                                     method="POST")
        with urllib.request.urlopen(req, timeout=5) as r:
            statuses.append(r.status)
    client.on_message = write
    client.on_connect = lambda c, u, f, rc: c.subscribe(PREFIX + "/+/scans", qos=1)
    client.connect("127.0.0.1", broker.port)
    client.loop_start()
    try:
        log = bench.track(Logger("--mqtt", broker.url(), "--id", "flux", "--state-dir", "state",
                                 "--mqtt-format", "influx", "--mqtt-batch", "10", "--count", "40",
                                 *LOG_ARGS))
        assert log.proc.wait(60) == 0, log.err()
        assert wait_for(lambda: len(statuses) >= 4, 10)
    finally:
        client.loop_stop()
        client.disconnect()
    assert set(statuses) == {204}
    result = query('SELECT count("seq"), min("ch0.0_mV"), max("ch1.0_mV") FROM k73 '
                   "WHERE logger = 'flux'")
    count, low, high = result["results"][0]["series"][0]["values"][0][1:]
    assert (count, low, high) == (40, 1234.5, 2500.0)


def listen_for_notifications(path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.settimeout(0.2)
    return sock


def test_service_notifications_and_unit(bench):
    # The unit as installed, pointed at the built program, for an instance.
    with open(UNIT) as f:
        unit = f.read().replace("@CMAKE_INSTALL_PREFIX@/bin/k73log", LOG)
    with open("k73log@bench3.service", "w") as f:
        f.write(unit)
    verify = subprocess.run(["systemd-analyze", "verify", "--man=no", "./k73log@bench3.service"],
                            capture_output=True, text=True, timeout=60)
    assert verify.returncode == 0 and verify.stderr == "", verify.stderr
    example = os.path.join(os.path.dirname(UNIT), "bench3.conf")
    assert subprocess.run([LOG, "--config", example, "--version"], timeout=30).returncode == 0

    # No converter yet: READY at once, then watchdog pings while it waits.
    os.unlink("COM1")
    end(bench.sim_proc)
    sock = listen_for_notifications(os.path.join(bench.path, "notify"))
    env = dict(os.environ, NOTIFY_SOCKET=os.path.join(bench.path, "notify"),
               WATCHDOG_USEC="600000", K73LOG_ID="svc")
    log = subprocess.Popen([LOG, "--wait-for-converter", "--port", "COM2", "-o", "svc.jsonl",
                            "--mqtt", "mqtt://127.0.0.1:%d/%s" % (free_port(), PREFIX),
                            "--state-dir", "svc", "--device", os.path.join(bench.path, "COM7")],
                           env=env, stdout=subprocess.DEVNULL, stderr=open("svc.stderr", "w"))
    bench.track(log)
    got = []
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        try:
            got.append(sock.recv(100).decode())
        except socket.timeout:
            pass
    assert got[0] == "READY=1" and got.count("WATCHDOG=1") >= 5, got
    # The device's link in the state directory.
    assert os.readlink("svc/COM2") == os.path.join(bench.path, "COM7")
    # A converter that turns up is logged from (the simulator links COM7
    # where the service's link points); a notification socket nobody reads
    # any more never holds the logger up.
    bench.track(subprocess.Popen([SIM, "--quiet", "--noise", "0", "--port", "COM7"],
                                 stdout=subprocess.DEVNULL))
    assert wait_for(lambda: os.path.exists("svc.jsonl") and os.path.getsize("svc.jsonl") > 500,
                    40), open("svc.stderr").read()
    end(log)
    sock.close()


def make_ca(name):
    """A throwaway certificate authority: NAME.key, NAME.pem in the cwd."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", name + ".key",
                    "-out", name + ".pem", "-days", "2", "-subj", "/CN=k73 test " + name],
                   check=True, capture_output=True)
    return os.path.abspath(name + ".pem")


def test_mqtts_checks_the_broker_against_the_ca(bench):
    # The broker's certificate for 127.0.0.1, signed by a CA of the test's
    # own; a second listener in clear for the subscriber.
    ca, stranger = make_ca("ca"), make_ca("stranger")
    with open("server.ext", "w") as f:
        f.write("subjectAltName = IP:127.0.0.1\n")
    subprocess.run(["openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", "server.key", "-out", "server.csr",
                    "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
    subprocess.run(["openssl", "x509", "-req", "-in", "server.csr", "-CA", ca, "-CAkey", "ca.key",
                    "-CAcreateserial", "-out", "server.pem", "-days", "2",
                    "-extfile", "server.ext"], check=True, capture_output=True)
    tls_port = free_port()
    broker = bench.track(Broker(bench.path, "allow_anonymous true\nlistener %d 127.0.0.1\n"
                                "certfile %s/server.pem\nkeyfile %s/server.key\n"
                                % (tls_port, bench.path, bench.path)))
    sub = bench.track(Subscriber(broker))
    url = "mqtts://127.0.0.1:%d/%s" % (tls_port, PREFIX)
    args = ["--mqtt", url, "--id", "tls", "--state-dir", "state", "--count", "10"] + LOG_ARGS

    # The wrong CA: the certificate check fails, nothing reaches the broker,
    # the spool keeps every scan.
    log = bench.track(Logger(*args[:-4], "--mqtt-drain", "1", "-o", "run.jsonl",
                             "--mqtt-ca", stranger, name="stranger"))
    assert log.proc.wait(60) == 0, log.err()
    assert "certificate verify failed" in log.err() and stranger in log.err(), log.err()
    assert "10 scans not yet taken" in log.err()
    assert len(spooled("state")) == 10
    time.sleep(0.5)
    assert sub.received() == {} and "tls" not in sub.status

    # The right CA: the spool and the new scans arrive.
    log = bench.track(Logger(*args, "--mqtt-ca", ca, name="right"))
    assert log.proc.wait(60) == 0, log.err()
    assert len(assert_delivered(sub, "tls", "state")) == 20
    with open("state/acked-seq") as f:
        assert int(f.read()) == 20
    assert wait_for(lambda: sub.status.get("tls") == "offline", 5)


def test_a_clean_end_after_a_broker_crash_still_says_offline(bench):
    # A broker killed outright keeps its retained `online`; k73log, between
    # two tries, is stopped right after the broker is back: the drain tries
    # at once, sends the backlog and says offline.
    broker = bench.track(Broker(bench.path))
    sub = bench.track(Subscriber(broker))
    log = bench.track(Logger("--mqtt", broker.url(), "--id", "calm", "--state-dir", "state",
                             *LOG_ARGS))
    assert wait_for(lambda: log.scans_written() > 10, 30), log.err()
    assert sub.status.get("calm") == "online"
    broker.stop(signal.SIGKILL)
    time.sleep(8)  # tries at 1, 3 and 7 s; the next at 15 s
    broker.start()
    assert end(log.proc) == 0, log.err()
    assert wait_for(lambda: sub.status.get("calm") == "offline", 5), log.err()
    assert_delivered(sub, "calm", "state")


def test_a_broker_that_takes_nothing_is_left_the_last_will(bench):
    # A broker that connects but never acknowledges a message: at a clean
    # end "offline" waits behind the in-flight window, so k73log must not
    # say DISCONNECT (which cancels the last will); it closes the connection
    # and the broker's will says offline.
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    server.settimeout(60)
    port = server.getsockname()[1]
    log = bench.track(Logger("--mqtt", "mqtt://127.0.0.1:%d/%s" % (port, PREFIX), "--id", "mute",
                             "--state-dir", "state", "--mqtt-batch", "1", "--count", "40",
                             *LOG_ARGS[:-4], "--mqtt-drain", "1", "-o", "run.jsonl"))
    conn, _ = server.accept()
    server.close()
    conn.settimeout(60)
    stream = conn.makefile("rb")
    kinds = []
    while True:
        head = stream.read(1)
        if not head:
            break
        length, shift, more = 0, 0, True
        while more:
            byte = stream.read(1)[0]
            length, shift, more = length | (byte & 0x7F) << shift, shift + 7, byte & 0x80
        stream.read(length)
        kinds.append(head[0] >> 4)
        if kinds[-1] == 1:
            conn.sendall(b"\x20\x02\x00\x00")  # CONNACK, accepted
        elif kinds[-1] == 12:
            conn.sendall(b"\xd0\x00")  # PINGRESP
    conn.close()
    assert log.proc.wait(30) == 0, log.err()
    assert kinds[0] == 1 and kinds.count(3) >= 20, kinds
    assert 14 not in kinds, kinds  # no DISCONNECT
    assert "40 scans not yet taken" in log.err()
