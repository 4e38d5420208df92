#!/usr/bin/env python3
"""An hour of real faults: k73log against k73sim on a pseudo-terminal, then
through ser2net, while the simulator is restarted at random with random fault
switches, killed outright, and ser2net killed too. The simulator stamps each
scan with its serial number and records every scan it makes, so the log is
accounted for scan by scan, as in the virtual-time soak. Where mosquitto is
installed, k73log also publishes to a broker of the run's own, which is
restarted at random too, and a persistent subscriber must receive every scan
of the log.

  soak_real.py BIN_DIR        (SOAK_REAL_SECONDS: both runs together, default 3600;
                               SOAK_REAL_SEED: the seed, default random)
"""
import getpass
import json
import os
import threading
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

try:
    import paho.mqtt.client as mqtt
except ImportError:  # no subscriber, so no broker leg
    mqtt = None

INTERVAL_S = 0.1
STAMPS = 224 * 224  # two-byte stamps: serials modulo this
MV_PER_COUNT_16 = 0.0002980232 * 256
FAULTS = [[], [], [], ["--misbehave", "drop-every=%d"], ["--misbehave", "double-every=%d"],
          ["--misbehave", "bad-start-marker"], ["--misbehave", "bad-end-marker"],
          ["--misbehave", "noise-burst=%d"], ["--misbehave", "silent"]]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serial_of(mv, bipolar):
    value = (mv + 5000) / 2 if bipolar else mv
    counts = round(value / MV_PER_COUNT_16)
    low, high = counts & 0xFF, counts >> 8
    if not (0x10 <= low <= 0xEF and 0x10 <= high <= 0xEF):
        return None
    # The log keeps three decimals: the stamp must come back exactly.
    back = counts * MV_PER_COUNT_16
    if abs((2 * back - 5000 if bipolar else back) - mv) > 0.0006:
        return None
    return (high - 0x10) * 224 + (low - 0x10)


class Sampler:
    """CPU time and resident memory of one process over the run."""

    def __init__(self, pid):
        self.pid, self.t0, self.rss = pid, time.monotonic(), []
        self.cpu0 = self.cpu()
        self.cpu1, self.t1 = self.cpu0, self.t0

    def cpu(self):
        with open("/proc/%d/stat" % self.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def sample(self):
        try:
            with open("/proc/%d/status" % self.pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        self.rss.append(int(line.split()[1]))
            self.cpu1, self.t1 = self.cpu(), time.monotonic()
        except OSError:
            pass


class Broker:
    """mosquitto with persistence, in the leg's directory, and a persistent
    subscriber that keeps every scan it is sent, by seq."""

    def __init__(self, where):
        self.dir, self.port, self.proc = where, free_port(), None
        self.conf = os.path.join(where, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write("user %s\nlistener %d 127.0.0.1\nallow_anonymous true\npersistence true\n"
                    "persistence_location %s/\nautosave_interval 1\n"
                    % (getpass.getuser(), self.port, where))
        self.start()
        self.scans, self.lock = [], threading.Lock()
        self.client = mqtt.Client(client_id="soak-subscriber", clean_session=False)
        self.client.on_connect = lambda c, u, f, rc: c.subscribe("soak/#", qos=1)
        self.client.on_message = self.on_message
        self.client.reconnect_delay_set(0.2, 1)
        try:
            self.client.connect("127.0.0.1", self.port, keepalive=5)
        except OSError:
            self.proc.kill()
            self.proc.wait()
            raise
        self.client.loop_start()
        self.restarts = 0

    def on_message(self, client, userdata, msg):
        if msg.topic.endswith("/scans"):
            with self.lock:
                self.scans.extend(json.loads(msg.payload))

    def start(self):
        log = open(os.path.join(self.dir, "mosquitto.log"), "a")
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=log, stderr=log)
        for _ in range(500):
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.1).close()
                return
            except OSError:
                time.sleep(0.02)

    def url(self):
        return "mqtt://127.0.0.1:%d/soak" % self.port

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()

    def account(self, log):
        """The log's scans against what the subscriber received."""
        logged = {}
        with open(log) as f:
            for line in f:
                obj = json.loads(line)
                if "t_s" in obj and "run" not in obj and "gap" not in obj:
                    logged[obj["t_s"]] = obj
        seen, twice, wrong = set(), 0, 0
        with self.lock:
            received = list(self.scans)
        for scan in received:
            if scan["seq"] in seen:
                twice += 1
                continue
            seen.add(scan["seq"])
            mine = logged.get(scan["t_s"])
            if mine is None or any(scan.get(k) != v for k, v in mine.items()):
                wrong += 1
        return dict(mqtt_received=len(seen), mqtt_missing=len(logged) - (len(seen) - wrong),
                    mqtt_twice=twice, mqtt_wrong=wrong, mqtt_restarts=self.restarts)


class Leg:
    def __init__(self, name, bin_dir, seconds, rng, through_ser2net):
        self.name, self.bin, self.seconds, self.rng = name, bin_dir, seconds, rng
        self.ser2net = through_ser2net
        self.dir = tempfile.mkdtemp(prefix="k73soak-real-")
        self.record = os.path.join(self.dir, "scans.txt")
        self.sim = self.s2n = self.logger = None
        self.restarts = self.kills = self.s2n_kills = 0
        self.tcp = free_port()
        self.broker = Broker(self.dir) if shutil.which("mosquitto") and mqtt else None

    def made_so_far(self):
        if not os.path.exists(self.record):
            return 0
        with open(self.record) as f:
            last = None
            for last in f:
                pass
        return int(last.split()[0]) + 1 if last else 0

    def end_all(self):
        """Whatever is still running when the run ends, or fails."""
        for proc in (self.logger, self.s2n, self.sim, self.broker and self.broker.proc):
            self.stop(proc)

    def drop_link(self):
        """A killed simulator leaves its link behind, naming a pseudo-terminal
        that another program may have by now: nobody may follow it."""
        port = "SIM1" if self.ser2net else "COM1"
        try:
            os.unlink(os.path.join(self.dir, port))
        except FileNotFoundError:
            pass
        return port

    def start_sim(self, faults):
        port = self.drop_link()
        cmd = [os.path.join(self.bin, "k73sim"), "--port", port, "--quiet", "--noise", "0",
               "--stamp-scans", str(self.made_so_far()), "--scan-record", self.record] + faults
        self.sim = subprocess.Popen(cmd, cwd=self.dir)
        for _ in range(500):
            if os.path.islink(os.path.join(self.dir, port)):
                break
            time.sleep(0.01)
        if self.ser2net:
            self.start_ser2net()

    def start_ser2net(self):
        device = os.readlink(os.path.join(self.dir, "SIM1"))
        config = os.path.join(self.dir, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("connection: &k73\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,300n81,local\n  options:\n    chardelay: false\n"
                    % (self.tcp, device))
        log = open(os.path.join(self.dir, "ser2net.log"), "a")
        self.s2n = subprocess.Popen(["ser2net", "-n", "-c", config, "-P",
                                     os.path.join(self.dir, "ser2net.pid")], stdout=log, stderr=log)
        for _ in range(500):  # until it accepts connections
            try:
                socket.create_connection(("127.0.0.1", self.tcp), 0.1).close()
                return
            except OSError:
                time.sleep(0.02)

    def stop(self, proc, sig=signal.SIGTERM):
        if proc and proc.poll() is None:
            proc.send_signal(sig)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def random_faults(self):
        chosen = self.rng.choice(FAULTS)
        return [a % self.rng.randint(3, 200) if "%d" in a else a for a in chosen]

    def run(self):
        if self.ser2net:
            os.symlink("rfc2217://127.0.0.1:%d" % self.tcp, os.path.join(self.dir, "COM1"))
        self.start_sim([])
        log = os.path.join(self.dir, "log.jsonl")
        publish = ["--mqtt", self.broker.url(), "--id", "soak", "--state-dir",
                   os.path.join(self.dir, "state"), "--mqtt-keepalive", "5"] if self.broker else []
        logger = self.logger = subprocess.Popen(
            [os.path.join(self.bin, "k73log"), "--port", "COM1", "--bits", "16", "--rate", "1000",
             "--filter", "400", "--interval", str(INTERVAL_S), "-o", log, "-q"] + publish,
            cwd=self.dir)
        sampler = Sampler(logger.pid)
        end = time.monotonic() + self.seconds
        next_fault = time.monotonic() + self.rng.uniform(15, 60)
        while time.monotonic() < end - 30 and logger.poll() is None:
            time.sleep(1)
            if int(time.monotonic()) % 10 == 0:
                sampler.sample()
            if time.monotonic() < next_fault:
                continue
            next_fault = time.monotonic() + self.rng.uniform(15, 60)
            action = self.rng.random()
            if self.broker and action > 0.8:  # the broker restarts; k73log spools meanwhile
                self.stop(self.broker.proc)
                self.broker.restarts += 1
                time.sleep(self.rng.uniform(0.5, 10))
                self.broker.start()
                continue
            if self.ser2net and action < 0.25:
                self.stop(self.s2n, signal.SIGKILL)  # the server dies; the converter goes on
                self.s2n_kills += 1
                time.sleep(self.rng.uniform(0.5, 10))
                self.start_ser2net()
                continue
            kill = action < 0.5
            self.stop(self.s2n, signal.SIGKILL)
            self.stop(self.sim, signal.SIGKILL if kill else signal.SIGTERM)
            self.drop_link()
            self.kills += kill
            self.restarts += not kill
            time.sleep(self.rng.uniform(0.5, 10))
            self.start_sim(self.random_faults())
        # The last half minute clean, so the stop finds a working converter.
        self.stop(self.s2n, signal.SIGKILL)
        self.stop(self.sim)
        self.start_sim([])
        while time.monotonic() < end and logger.poll() is None:
            time.sleep(1)
        sampler.sample()
        self.stop(logger)
        self.stop(self.s2n, signal.SIGKILL)
        self.stop(self.sim)
        rows = self.account(log, sampler)
        if self.broker:
            time.sleep(2)  # the last messages on their way to the subscriber
            rows.update(self.broker.account(log))
            self.broker.close()
            self.stop(self.broker.proc)
        return rows

    def account(self, log, sampler):
        made = []
        with open(self.record) as f:
            made = [int(line.split()[0]) for line in f if line.strip()]
        made_set = set(made)
        rows = dict(made=len(made), right=0, in_gaps=0, gaps=0, gap_counts_off=0, wrong=0,
                    twice=0, lost=0, unread=0)
        bipolar, interval = True, INTERVAL_S
        last_serial, last_index, gap_open, gap_missing = -1, None, False, 0
        logged = set()
        with open(log) as f:
            for line in f:
                obj = json.loads(line)
                if "run" in obj:
                    bipolar = obj["run"].get("polarity") == "bipolar"
                    interval = obj["run"].get("interval_s", INTERVAL_S)
                    continue
                if "gap" in obj:
                    rows["gaps"] += 1
                    gap_open, gap_missing = True, obj["gap"]["scans_missing"]
                    continue
                if "t_s" not in obj:
                    continue
                index = round(obj["t_s"] / interval)
                values = [v for k, v in obj.items() if k.endswith("_mV")]
                low = serial_of(values[0], bipolar) if values else None
                if low is None:
                    rows["wrong"] += 1
                    continue
                # The serial with these low bits that follows the last one.
                serial = last_serial + 1 + (low - (last_serial + 1)) % STAMPS
                if serial in logged:
                    rows["twice"] += 1
                    continue
                if serial not in made_set:
                    rows["wrong"] += 1
                    continue
                skipped = sum(1 for s in range(last_serial + 1, serial) if s in made_set)
                if gap_open:
                    rows["in_gaps"] += skipped
                    if last_index is not None and gap_missing != index - last_index - 1:
                        rows["gap_counts_off"] += 1
                else:
                    rows["lost"] += skipped
                rows["right"] += 1
                logged.add(serial)
                last_serial, last_index, gap_open = serial, index, False
        after = sum(1 for s in made if s > last_serial)
        rows["in_gaps" if gap_open else "unread"] += after
        rows["rss"] = (sampler.rss[0], sampler.rss[-1], max(sampler.rss)) if sampler.rss else None
        rows["cpu"] = 100 * (sampler.cpu1 - sampler.cpu0) / max(sampler.t1 - sampler.t0, 1)
        rows["restarts"], rows["kills"], rows["s2n_kills"] = self.restarts, self.kills, self.s2n_kills
        return rows


def main():
    bin_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bin")
    seconds = float(os.environ.get("SOAK_REAL_SECONDS", "3600"))
    seed = int(os.environ.get("SOAK_REAL_SEED", random.randrange(1 << 32)))
    print("soak-real: seed %d, %.0f s in all (SOAK_REAL_SEED=%d repeats the schedule)" %
          (seed, seconds, seed), flush=True)
    rng = random.Random(seed)
    if not shutil.which("ser2net"):
        print("soak-real: ser2net is not installed; only the pseudo-terminal run", flush=True)
    if not (shutil.which("mosquitto") and mqtt):
        print("soak-real: mosquitto or python3-paho-mqtt missing; no publishing", flush=True)
    legs = [("pseudo-terminal", False)] + ([("ser2net", True)] if shutil.which("ser2net") else [])
    failed = False
    for name, through in legs:
        leg = Leg(name, bin_dir, seconds / len(legs), rng, through)
        try:
            r = leg.run()
        finally:
            leg.end_all()
        print("\n%s, %.0f s: simulator restarted %d times with new faults, killed %d times%s" %
              (name, leg.seconds, r["restarts"], r["kills"],
               ", ser2net killed %d times" % r["s2n_kills"] if through else ""))
        for label, key, note in [
                ("scans the converter made", "made", ""), ("logged with the right values", "right", ""),
                ("inside marked gaps", "in_gaps", ""), ("gap marks", "gaps", ""),
                ("gap marks whose count is not the index jump", "gap_counts_off", "must be 0"),
                ("unread when the run stopped", "unread", ""),
                ("wrong values in the log", "wrong", "must be 0"), ("logged twice", "twice", "must be 0"),
                ("lost outside a gap", "lost", "must be 0")]:
            print("| %-44s | %9d | %s" % (label, r[key], note))
        if r["rss"]:
            print("| %-44s | %9s | start, end, largest" % ("k73log resident memory, kB",
                                                          "/".join(map(str, r["rss"]))))
        print("| %-44s | %9.2f |" % ("k73log CPU, % of one core", r["cpu"]))
        if "mqtt_received" in r:
            print("broker restarted %d times" % r["mqtt_restarts"])
            for label, key, note in [
                    ("scans the subscriber received", "mqtt_received", ""),
                    ("logged but never received", "mqtt_missing", "must be 0"),
                    ("received again (QoS 1 allows)", "mqtt_twice", ""),
                    ("received unlike the log", "mqtt_wrong", "must be 0")]:
                print("| %-44s | %9d | %s" % (label, r[key], note))
            failed |= bool(r["mqtt_missing"] or r["mqtt_wrong"])
        failed |= any(r[k] for k in ("gap_counts_off", "wrong", "twice", "lost"))
        print("files kept in %s" % leg.dir if failed else "", flush=True)
        if not failed:
            shutil.rmtree(leg.dir, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
