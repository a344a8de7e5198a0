"""What operators see. The metrics endpoint against real tools: promtool checks what a scrape
gives, and a real Prometheus server scrapes the service on loopback while a scan runs and gives
the frame counter back through its query API, and accepts every query of the shipped
dashboard. Other paths and methods are refused; a bad address stops the start. And
`brennic-send --watch`, off a terminal.

    metrics_test.py PATH_TO_BRENNIC PATH_TO_BRENNIC_SEND
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

import numpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from support import Started, free_port, wait_until_up  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
from brennic import hdf5  # noqa: E402

BRENNIC = SEND = None
FRAMES = 23


def get(url, method="GET"):
    """The status and body of one HTTP request."""
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method),
                                    timeout=10) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def value_of(text, name):
    """The value of the first sample named exactly ``name`` (labels included)."""
    for line in text.splitlines():
        if line.startswith(name + " "):
            return float(line.split()[-1])
    return None


class Metrics(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="brennic-metrics-")
        self.started = Started()

    def tearDown(self):
        self.started.stop_all()
        self.dir.cleanup()

    def start(self, metrics):
        config = os.path.join(self.dir.name, "zelt.ini")
        with open(config, "w") as f:
            f.write(f"[corvane]\nip = 127.0.0.1\nport = {free_port()}\nmetrics = {metrics}\n"
                    "local_socket = off\n[vesk]\nbootstrap_servers =\n")
        os.environ["ZELT_CONFIG"] = config
        err = open(os.path.join(self.dir.name, "brennic.err"), "w+")
        self.started.logs.append(err)
        service = subprocess.Popen([BRENNIC], stdout=subprocess.DEVNULL, stderr=err)
        self.started.processes.append(service)
        return service, err

    def scan(self, name):
        os.makedirs(os.path.join(self.dir.name, name))
        with hdf5.open(os.path.join(self.dir.name, name, "master.h5")) as f:
            f.create_dataset_append_split([["/entry/data", 10, {"compression": "bslz4"}]])
            for i in range(FRAMES):
                f.dataset_append_split_map({"/entry/data": numpy.full((32, 32), i, "<u2")})
            f.close(block=True)

    def test_a_scrape_passes_promtool_and_prometheus_reads_the_frames_back(self):
        port = free_port()
        service, _ = self.start(f"127.0.0.1:{port}")
        wait_until_up(service, hdf5.status)
        url = f"http://127.0.0.1:{port}/metrics"
        self.scan("one")
        # The request loop hands the endpoint a new snapshot now and then: one scrape shows
        # the whole scan once they all agree.
        wanted = {"brennic_frames_written_total": FRAMES,
                  "brennic_blocks_finished_total": 3,
                  'brennic_requests_total{type="dataset_append_split_map",result="ok"}': FRAMES,
                  'brennic_frame_bytes_raw_total{codec="bslz4"}': FRAMES * 32 * 32 * 2,
                  "brennic_open_files": 0}
        deadline = time.monotonic() + 30
        while True:
            status, text = get(url)
            seen = {name: value_of(text, name) for name in wanted}
            if status == 200 and seen == wanted:
                break
            self.assertLess(time.monotonic(), deadline, f"{status}: {seen}")
            time.sleep(0.1)
        checked = subprocess.run(["promtool", "check", "metrics"], input=text, text=True,
                                 capture_output=True, timeout=60)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        self.assertEqual(get(f"http://127.0.0.1:{port}/other")[0], 404)
        self.assertEqual(get(url, method="POST")[0], 405)

        # A real Prometheus scrapes it every second on loopback.
        web = free_port()
        config = os.path.join(self.dir.name, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: brennic\n"
                    f"    static_configs:\n      - targets: ['127.0.0.1:{port}']\n")
        prometheus = subprocess.Popen(
            ["prometheus", f"--config.file={config}",
             f"--storage.tsdb.path={self.dir.name}/tsdb", f"--web.listen-address=127.0.0.1:{web}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.started.processes.append(prometheus)
        self.scan("two")
        query = (f"http://127.0.0.1:{web}/api/v1/query?query=brennic_frames_written_total"
                 "%7Bjob%3D%22brennic%22%7D")
        deadline = time.monotonic() + 120
        seen = None
        while seen != 2 * FRAMES:
            self.assertLess(time.monotonic(), deadline, f"Prometheus gave {seen}")
            time.sleep(0.5)
            try:
                result = json.loads(get(query)[1])["data"]["result"]
                seen = int(float(result[0]["value"][1])) if result else None
            except (OSError, ValueError, KeyError):
                seen = None  # not up yet
        # Every query of the shipped dashboard is one Prometheus accepts, and the frame rate's
        # has data.
        dashboard = os.path.join(os.path.dirname(__file__), "..", "..", "deploy",
                                 "grafana-dashboard.json")
        with open(dashboard) as f:
            panels = json.load(f)["panels"]
        for panel in panels:
            for target in panel["targets"]:
                expr = target["expr"].replace("$instance", ".*")
                status, body = get(f"http://127.0.0.1:{web}/api/v1/query?"
                                   + urllib.parse.urlencode({"query": expr}))
                self.assertEqual((status, json.loads(body)["status"]), (200, "success"),
                                 f'{panel["title"]}: {expr}: {body}')

    def test_watch_prints_each_open_file_once_a_second_off_a_terminal(self):
        service, _ = self.start("")
        wait_until_up(service, hdf5.status)
        master = os.path.join(self.dir.name, "watched.h5")
        with hdf5.open(master) as f:
            f.create_dataset_append_split([["/entry/data", 4, {"compression": "bslz4"}]])
            for i in range(10):
                f.dataset_append_split_map({"/entry/data": numpy.full((32, 32), i, "<u2")},
                                           block=True)
            watch = subprocess.Popen([SEND, "--watch"], stdout=subprocess.PIPE, text=True)
            self.started.processes.append(watch)
            lines = [watch.stdout.readline() for _ in range(2)]
            watch.send_signal(2)  # SIGINT: the watch ends
            self.assertEqual(watch.wait(timeout=30), 0)
            f.close(block=True)
        for line in lines:
            self.assertRegex(line, r"^1 open files, 0 notifications owed; " + master +
                             r"  10 frames  [\d.]+ frames/s  [\d.]+ MB/s raw  [\d.]+ MB/s stored"
                             r"  ratio [\d.]+\n$")

    def test_connections_that_trickle_are_cut_and_scrapes_get_through(self):
        port = free_port()
        service, _ = self.start(f"127.0.0.1:{port}")
        wait_until_up(service, hdf5.status)
        # As many as one address may hold, each sending a header line a second, for ever.
        slow = []
        for _ in range(4):
            s = socket.create_connection(("127.0.0.1", port), timeout=10)
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")
            slow.append(s)
        cut = set()
        deadline = time.monotonic() + 60
        while len(cut) < len(slow):
            self.assertLess(time.monotonic(), deadline, f"{len(cut)} of {len(slow)} cut")
            for i, s in enumerate(slow):
                if i in cut:
                    continue
                try:
                    s.sendall(b"X-Slow: 1\r\n")
                    s.settimeout(0.2)
                    if s.recv(1) == b"":
                        cut.add(i)
                except socket.timeout:
                    pass
                except OSError:
                    cut.add(i)
            time.sleep(0.5)
        for s in slow:
            s.close()
        status, body = get(f"http://127.0.0.1:{port}/metrics")
        self.assertEqual(status, 200)
        self.assertIn("brennic_build_info", body)

    def test_a_bad_address_stops_the_start_naming_it(self):
        for address in ("localhost:9464", "127.0.0.1", "127.0.0.1:99999"):
            service, err = self.start(address)
            self.assertEqual(service.wait(timeout=30), 1, address)
            err.seek(0)
            self.assertIn(f"[corvane] metrics {address}:", err.read())


if __name__ == "__main__":
    BRENNIC, SEND = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main()
