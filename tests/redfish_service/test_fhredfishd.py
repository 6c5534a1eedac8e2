#!/usr/bin/python3
"""fhredfishd end to end: sushy, redfishtool and requests against the service, which
fetches images from the loopback servers of all eight protocols.

    test_fhredfishd.py FHREDFISHD_BINARY [NAME...]

Runs only in the private namespace of scripts/in-private-var.sh with the servers of
tests/servers/servers.sh up (scripts/run-tests.sh exports their env files); without them
it exits 77 (skipped). The cases share one HTTPS service; each sets up what it needs, so
they run in any order (FH_TEST_SHUFFLE=SEED shuffles them). NAMEs pick cases by name.
"""
import concurrent.futures, json, os, random, re, shutil, signal, struct, subprocess
import sys, tempfile, threading, time, unittest

import requests
import sushy
import sushy.connector
import sushy.taskmonitor
from sushy.resources.taskservice import constants as task_constants

BINARY = None
USER, PASSWORD, WRONG_PASSWORD = "rfadmin", "Svc-Pw_41x9!q", "Wr0ng-Secret-88"
IMAGE_DIR = "/var/lib/fhredfishd/images"
LOGO_DIR = "/mnt/sdmmc0p2/OEMFile/bmc/logo"
OEM_FLAG = "/var/lib/bmcplatform/oem_flag"
LOGO_SWITCH = "/var/lib/bmcplatform/capabilities/Customer.SupportUploadLogo"
TASK_TIMEOUT = 90  # seconds; generous for the sanitizer builds
UPDATE = "/redfish/v1/UpdateService/Actions/UpdateService.SimpleUpdate"
LOGO = "/redfish/v1/Managers/1/Actions/Oem/FileHandleManager.UploadLogo"
TASKS, MONITORS = "/redfish/v1/TaskService/Tasks", "/redfish/v1/TaskService/TaskMonitors"
ENV, SERVICES = {}, []
BODIES = []  # all that clients received (appended from any thread), searched for secrets
SVC = None  # the HTTPS service the cases share


def write_file(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:  # a socket, or gone meanwhile
        return b""


def http_file(name, size, where="files"):
    """A fresh random file on the HTTP server; returns its URL under `where`."""
    write_file(os.path.join(ENV["TEST_DIR"], "www", "files", name), os.urandom(size))
    return f"http://127.0.0.1:{ENV['HTTP_PORT']}/{where}/{name}"


def wait_until(condition, what, timeout=30):
    deadline = time.time() + timeout
    while not condition():
        if time.time() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.2)


class Client(requests.Session):
    """requests against one service, with paths relative to its URL."""

    def __init__(self, service, auth=(USER, PASSWORD)):
        super().__init__()
        self.base, self.auth, self.verify, self.trust_env = service.url, auth, service.ca, False
        self.hooks["response"].append(lambda r, *args, **kwargs: BODIES.append(r.text))

    def request(self, method, path, *args, **kwargs):
        return super().request(method, self.base + path, *args, **kwargs)

    def post_json(self, path, body, ctype="application/json"):
        data = body if isinstance(body, bytes) else json.dumps(body)
        return self.post(path, data=data, headers={"Content-Type": ctype})

    def transfer_tasks(self):
        return [m["@odata.id"] for m in self.get(TASKS).json()["Members"]
                if re.search(r"/Tasks/\d+$", m["@odata.id"])]

    def wait_monitor(self, location):
        """Polls a task monitor until it stops answering 202; returns its answer."""
        r = []
        wait_until(lambda: r.append(self.get(location)) or r[-1].status_code != 202,
                   f"{location} to end", TASK_TIMEOUT)
        return r[-1]

    def wait_percent(self, task_uri, percent):
        task = {}
        wait_until(lambda: task.update(self.get(task_uri).json()) or
                   task.get("PercentComplete") == percent, f"{task_uri} at {percent} %")
        return task


class Service:
    """One fhredfishd process with its config file (mode 600) and log."""

    def __init__(self, name, tls):
        self.dir = tempfile.mkdtemp(prefix=f"rf-{name}-", dir="/var/tmp")
        pki = os.path.join(ENV["TEST_DIR"], "pki")
        self.ca, self.proc = f"{pki}/ca.pem" if tls else True, None
        self.config, self.log = f"{self.dir}/fhredfishd.conf", f"{self.dir}/service.log"
        self.stderr = f"{self.dir}/stderr.log"  # where the sanitizers report
        text = f"user = {USER}\npassword = {PASSWORD}\nimage-dir = {IMAGE_DIR}\n"
        if tls:  # the image servers' CAs, read anew by every verified transfer
            self.ca_bundle = shutil.copy(f"{pki}/ca.pem", f"{self.dir}/ca-bundle.pem")
            text += f"cert = {pki}/server.pem\nkey = {pki}/server.key\n"
            text += f"ca-bundle = {self.ca_bundle}\n"
        write_file(self.config, text.encode(), 0o600)
        write_file(f"{self.dir}/redfishtool.json",
                   json.dumps({"user": USER, "password": PASSWORD}).encode(), 0o600)
        SERVICES.append(self)

    def start(self):
        seen = len(self.logs(self.log))
        self.proc = subprocess.Popen([BINARY, "--config", self.config, "--port", "0", "--log",
                                      self.log], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=open(self.stderr, "ab"))
        found = lambda: re.search(r"listening on (\S+?),", self.logs(self.log)[seen:])
        wait_until(lambda: found() or self.proc.poll() is not None, "the service")
        if not found():
            raise AssertionError(f"service did not start: {self.logs()}")
        self.url = found().group(1)

    def stop(self):
        """SIGTERM; returns the exit status."""
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return "hung"

    def logs(self, *paths):
        paths = paths or (self.log, self.stderr)
        return "".join(read_file(p).decode(errors="replace") for p in paths)

    def sushy(self):
        conn = sushy.connector.Connector(self.url, verify=self.ca)
        conn._session.trust_env = False  # only the test CA, no bundle from the environment
        conn._session.hooks["response"].append(lambda r, *args, **kw: BODIES.append(r.text))
        return sushy.Sushy(self.url, username=USER, password=PASSWORD, connector=conn)

    def redfishtool(self, *args):
        """redfishtool with the account from a config file; returns (status, stdout)."""
        out = subprocess.run(["redfishtool", "-r", self.url.split("://", 1)[1], "-c",
                              f"{self.dir}/redfishtool.json", "-S",
                              "Never" if self.ca is True else "Always", "-T", "30", *args],
                             capture_output=True, text=True, timeout=TASK_TIMEOUT + 30,
                             env={**os.environ, "NO_PROXY": "*"})
        BODIES.append(out.stdout + out.stderr)
        return out.returncode, out.stdout


class RedfishServiceTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        global SVC
        SVC = Service("main", tls=True)
        SVC.start()

    def setUp(self):
        self.s = Client(SVC)
        # Each case starts with all ten transfer slots free and leaves them so.
        for uri in self.s.transfer_tasks():
            self.s.delete(uri)
        self.addCleanup(lambda: [self.s.delete(uri) for uri in self.s.transfer_tasks()])
        self.addCleanup(self.assert_no_secret_shown, len(BODIES))

    def assert_no_secret_shown(self, first_body):
        """No password in what clients received or services logged during the case, nor in
        clear in what the library and the platform keep under /var."""
        said = "\n".join(BODIES[first_body:] + [s.logs() for s in SERVICES])
        for secret in (PASSWORD, WRONG_PASSWORD, ENV["FTP_PASS"], ENV["CIFS_PASS"]):
            self.assertNotIn(secret, said)
        kept = [f"{d}/{n}" for top in ("/var/lib", "/var/log") for d, _, names in os.walk(top)
                for n in names if any(s.encode() in read_file(f"{d}/{n}")
                                      for s in (PASSWORD, WRONG_PASSWORD))]
        self.assertEqual(kept, [])

    def assert_error(self, r, status, code, *more_ids):
        """An error body with `code` and messages, among them those of `more_ids`."""
        self.assertEqual(r.status_code, status, r.text)
        err = r.json()["error"]
        self.assertEqual(err["code"], code, r.text)
        self.assertTrue(err["message"] and err["@Message.ExtendedInfo"], r.text)
        self.assertTrue(all(m["MessageId"] and m["Message"] for m in err["@Message.ExtendedInfo"]))
        self.assertTrue(set(more_ids) <= {m["MessageId"] for m in err["@Message.ExtendedInfo"]})
        return err

    def update(self, params, client="requests"):
        """SimpleUpdate through `client`, to the task's end: (the monitor's answer, the task)."""
        s = Client(SVC)
        if client == "redfishtool":  # blocks on the task monitor until the task ends
            rc, out = SVC.redfishtool("raw", "POST", UPDATE, "-d", json.dumps(params))
            self.assertEqual(rc, 0, out)
            task_uri = json.loads(out)["@odata.id"]
        else:
            if client == "sushy":
                root = SVC.sushy()
                r = root.get_update_service().simple_update(
                    params["ImageURI"], transfer_protocol=params["TransferProtocol"]).response
                # Not root.get_task_monitor(): it loads sushy's standard message
                # registries, which the Debian package does not ship.
                sushy.taskmonitor.TaskMonitor(root._conn, r.headers["Location"]).wait(TASK_TIMEOUT)
            else:
                r = s.post_json(UPDATE, params)
            self.assertEqual(r.status_code, 202, r.text)
            self.assertEqual(r.json()["TaskMonitor"], r.headers["Location"])
            task_uri = r.json()["@odata.id"]
        final = s.wait_monitor(s.get(task_uri).json()["TaskMonitor"])
        return final, s.get(task_uri).json()

    def test_clients_walk_the_service(self):
        root = SVC.sushy()
        update = root.get_update_service()
        # sushy 4.3.3 finds the action but does not read its allowable values itself.
        self.assertEqual((update.identity, update._get_simple_update_element().target_uri),
                         ("UpdateService", UPDATE))
        self.assertEqual(root.get_task_service().identity, "TaskService")
        self.assertEqual(root.get_manager("/redfish/v1/Managers/1").identity, "1")
        for path in ("/redfish/v1/", "/redfish/v1/UpdateService", "/redfish/v1/TaskService",
                     TASKS, "/redfish/v1/Managers", "/redfish/v1/Managers/1"):
            doc = self.s.get(path).json()
            self.assertTrue({"@odata.id", "@odata.type", "@odata.context"} <= doc.keys(), path)

    def test_authentication(self):
        # Every resource but the service root wants the account, whatever the method.
        targets = [("GET", "/redfish/v1/TaskService"), ("GET", f"{TASKS}/1"), ("POST", UPDATE),
                   ("DELETE", f"{TASKS}/1"), ("DELETE", f"{MONITORS}/1"), ("POST", LOGO),
                   ("PATCH", "/redfish/v1/UpdateService")]
        for what, auth in [("no credentials", None), ("wrong password", (USER, WRONG_PASSWORD)),
                           ("unknown user", ("nobody", PASSWORD)), ("not base64", "Basic %%%%"),
                           ("not basic", "Bearer abc")]:
            header = {"Authorization": auth} if isinstance(auth, str) else {}
            for method, path in targets:
                with self.subTest(what=what, request=f"{method} {path}"):
                    s = Client(SVC, auth=None if header else auth)
                    r = s.request(method, path, headers={"Content-Type": "application/json",
                                                         **header},
                                  data='{"ImageURI": "x"}' if method in ("POST", "PATCH") else None)
                    self.assert_error(r, 401, "Base.1.8.NoValidSession")
                    self.assertIn("Basic", r.headers.get("WWW-Authenticate", ""))
                    # The next request of the same client, now logged in, is served (the
                    # refused body is not taken for it); no back-off follows a good login.
                    s.auth = (USER, PASSWORD)
                    self.assertEqual(s.get("/redfish/v1/TaskService", timeout=10).status_code, 200)
        self.assertEqual(Client(SVC, auth=None).get("/redfish/v1/").status_code, 200)
        # Failed logins in a row are answered ever more slowly; a good one starts afresh.
        bad = Client(SVC, auth=(USER, WRONG_PASSWORD))
        for _ in range(3):
            bad.get(TASKS)
        start = time.monotonic()
        self.assertEqual(bad.get(TASKS).status_code, 401)
        self.assertGreater(time.monotonic() - start, 0.5)
        self.assertEqual(self.s.get("/redfish/v1/TaskService").status_code, 200)

    def test_bad_requests_start_nothing(self):
        http = f"http://127.0.0.1:{ENV['HTTP_PORT']}/files/hello.txt"
        ftp = "ftp://127.0.0.1/x.bin"
        nfs = f"nfs://127.0.0.1:{ENV['NFS_PORT']}{ENV['NFS_EXPORT']}/x.bin"
        form, listed = "ActionParameterValueFormatError", "ActionParameterValueNotInList"
        typed, unsupported = "ActionParameterValueTypeError", "ActionParameterNotSupported"
        for what, body, code, *more in [  # (what, body, Base.1.8 error, more message ids)
                ("malformed JSON", b'{"ImageURI": ', "MalformedJSON"),
                ("not an object", b'["x"]', "MalformedJSON"), ("empty", b"", "MalformedJSON"),
                ("ImageURI missing", {"TransferProtocol": "HTTP"}, "ActionParameterMissing"),
                ("ImageURI not a string", {"ImageURI": 5}, typed),
                ("Password not a string",
                 {"ImageURI": ftp, "Username": "u", "Password": [WRONG_PASSWORD]}, typed),
                ("unknown parameter", {"ImageURI": http, "Force": True}, "ActionParameterUnknown"),
                ("scheme", {"ImageURI": "gopher://127.0.0.1/x.bin"}, listed),
                ("ftps is not ftp", {"ImageURI": "ftps://h/x.bin"}, listed),
                ("TransferProtocol", {"ImageURI": "127.0.0.1/x.bin", "TransferProtocol": "OEM"},
                 listed),
                ("no scheme, no TransferProtocol", {"ImageURI": "h/x"}, "ActionParameterMissing"),
                ("no file name", {"ImageURI": http.replace("hello.txt", "")}, form),
                ("file name climbs", {"ImageURI": "http://127.0.0.1/files/.."}, form),
                # The library's own verdict travels along with its result code.
                ("host the library refuses", {"ImageURI": "http://[FE80::1]/x.bin"}, form,
                 "FileHandle.1.0.LibraryResult"),
                ("credentials for NFS", {"ImageURI": nfs, "Username": "u", "Password": "p"},
                 unsupported),
                ("'/' in an FTP password", {"ImageURI": ftp, "Username": "u", "Password": "a/b"},
                 form),
                ("user name too long", {"ImageURI": ftp, "Username": "u" * 32, "Password": "p"},
                 form),
                ("Targets", {"ImageURI": http, "Targets": ["/redfish/v1/Managers"]}, unsupported)]:
            with self.subTest(what):
                self.assert_error(self.s.post_json(UPDATE, body), 400, "Base.1.8." + code, *more)
        # A body that is not announced as JSON is refused before it is read.
        self.assertEqual(self.s.post_json(UPDATE, {"ImageURI": http}, "text/plain").status_code,
                         415)
        self.assertEqual(self.s.transfer_tasks(), [])
        for path in [f"{where}/{task_id}" for where in (TASKS, MONITORS) for task_id in
                     ("7", "10", "11", "0", "01", "abc", "Logo999999", "Logo0")]:
            for method in ("GET", "DELETE"):
                with self.subTest(f"{method} {path}"):
                    self.assert_error(self.s.request(method, path), 404,
                                      "Base.1.8.ResourceNotFound")
        self.assert_error(self.s.get("/redfish/v1/Nothing"), 404, "Base.1.8.ResourceMissingAtURI")

    def test_refuses_to_start_unsafely(self):
        account = f"user = a\npassword = {PASSWORD}\n"
        for what, text, mode, extra in [  # (what, config file, its mode, arguments)
                ("password readable by others", account, 0o644, []),
                ("no account", "image-dir = /var/tmp/rf-none\n", 0o600, []),
                ("certificate without key", account, 0o600, ["--cert", "/nonexistent.pem"]),
                ("password on the command line", "", 0o600, ["--password", "x"]),
                ("unknown key", "colour = blue\n", 0o600, []),
                ("plain HTTP beyond loopback", account, 0o600, ["--listen", "0.0.0.0"])]:
            with self.subTest(what):
                write_file(f"{SVC.dir}/bad.conf", text.encode(), mode)
                out = subprocess.run([BINARY, "--config", f"{SVC.dir}/bad.conf", "--port", "0",
                                      *extra], capture_output=True, text=True, timeout=20)
                self.assertEqual(out.returncode, 1, out.stderr)
                self.assertNotIn(PASSWORD, out.stdout + out.stderr)

    def test_updates_over_every_protocol_end_completed_or_failed(self):
        www, home, e = os.path.join(ENV["TEST_DIR"], "www", "files"), ENV["FTP_HOME"], ENV
        # The password's first character percent-encoded, as RFC 3986 allows.
        encoded = "%{:02X}".format(ord(e["FTP_PASS"][0])) + e["FTP_PASS"][1:]
        ftp_account = {"Username": e["FTP_USER"], "Password": e["FTP_PASS"]}
        http, ftp = f"http://127.0.0.1:{e['HTTP_PORT']}", f"ftp://127.0.0.1:{e['FTP_PORT']}"
        ssh = f"127.0.0.1:{e['SSH_PORT']}{home}"
        rows = [  # (name, client, server-side file, or None when the transfer fails, parameters)
            ("HTTP", "redfishtool", f"{www}/rf-http.bin",
             {"ImageURI": f"{http}/files/rf-http.bin"}),
            ("HTTPS", "sushy", f"{www}/rf-https.bin", {"TransferProtocol": "HTTPS", "ImageURI":
             f"https://127.0.0.1:{e['HTTPS_PORT']}/files/rf-https.bin"}),
            ("FTP", "requests", f"{home}/rf-ftp.bin",
             {"ImageURI": f"{ftp}/rf-ftp.bin", **ftp_account}),
            # Credentials inside the URI, percent-encoded.
            ("SFTP", "sushy", f"{home}/rf-sftp.bin", {"TransferProtocol": "SFTP", "ImageURI":
             f"sftp://{e['FTP_USER']}:{encoded}@{ssh}/rf-sftp.bin"}),
            ("SCP", "requests", f"{home}/rf-scp.bin", {"ImageURI": f"scp://{ssh}/rf-scp.bin",
                                                       **ftp_account}),
            # No scheme: TransferProtocol supplies it.
            ("TFTP", "sushy", f"{e['TFTP_DIR']}/root/rf-tftp.bin",
             {"ImageURI": f"127.0.0.1:{e['TFTP_PORT']}/rf-tftp.bin", "TransferProtocol": "TFTP"}),
            ("NFS", "redfishtool", f"{e['NFS_ROOT']}/rf-nfs.bin",
             {"ImageURI": f"nfs://127.0.0.1:{e['NFS_PORT']}{e['NFS_EXPORT']}/rf-nfs.bin"}),
            ("CIFS", "requests", f"{e['CIFS_ROOT']}/rf-cifs.bin",
             {"ImageURI": f"cifs://127.0.0.1:{e['CIFS_PORT']}/{e['CIFS_SHARE']}/rf-cifs.bin",
              "Username": e["CIFS_USER"], "Password": e["CIFS_PASS"]}),
            ("HTTP basic auth", "requests", f"{www}/rf-auth.bin",
             {"ImageURI": f"{http}/auth/rf-auth.bin", "Username": "fhuser", "Password": "fhpass"}),
            # A URI's own scheme wins over TransferProtocol.
            ("scheme over TransferProtocol", "requests", f"{www}/rf-scheme.bin",
             {"ImageURI": f"{http}/files/rf-scheme.bin", "TransferProtocol": "NFS"}),
            # How a transfer fails is the library's; the service reports every failure alike.
            ("missing HTTP file", "requests", None, {"ImageURI": f"{http}/files/none.bin"}),
            ("wrong FTP password", "requests", None, {"ImageURI": f"{ftp}/hello.txt", "Username":
                                                      e["FTP_USER"], "Password": WRONG_PASSWORD}),
        ]
        for i, (_, _, path, _) in enumerate(rows):
            if path:
                write_file(path, os.urandom(256 * 1024 + 17 * i))

        def run(name, client, path, params):
            final, task = self.update(params, client)
            if path:
                self.assertEqual((final.status_code, task["TaskState"], task["PercentComplete"]),
                                 (200, "Completed", 100), final.text)
                image = read_file(os.path.join(IMAGE_DIR, os.path.basename(path)))
                self.assertEqual(image, read_file(path), "the image differs")
                return task["@odata.id"]
            # The monitor answers with the outcome: an error carrying the reason.
            err = self.assert_error(final, 500, "TaskEvent.1.0.TaskAborted")
            self.assertEqual((task["TaskState"], task["TaskStatus"], task["Messages"]),
                             ("Exception", "Critical", err["@Message.ExtendedInfo"]))
            failed = [m for m in task["Messages"]
                      if m["MessageId"] == "FileHandle.1.0.TransferFailed"]
            self.assertEqual(len(failed), 1, task)
            reason, code = failed[0]["MessageArgs"]
            self.assertRegex(reason, r"^File download or upload failed")
            self.assertRegex(code, r"^0x3c00[0-9a-f]{4}$")
            self.assertTrue(reason in failed[0]["Message"] and code in failed[0]["Message"])
            oem = task["Oem"]["FileHandle"]
            self.assertEqual((oem["Stage"], oem["ResultCode"]), (3, code))
            return task["@odata.id"]

        for batch in (rows[:10], rows[10:]):  # no more at once than there are task slots
            with concurrent.futures.ThreadPoolExecutor(len(batch)) as pool:
                futures = {row[0]: pool.submit(run, *row) for row in batch}
                task_uris = set()
                for name, future in futures.items():
                    with self.subTest(name):
                        task_uris.add(future.result())
            # Each had a task of its own, and deleting an ended task frees it.
            self.assertEqual(len(task_uris), len(batch))
            for uri in task_uris:
                self.assertEqual((self.s.delete(uri).status_code, self.s.get(uri).status_code),
                                 (204, 404))

    def test_verify_certificate(self):
        us = "/redfish/v1/UpdateService"
        patch = lambda body, ctype="application/json": self.s.patch(
            us, data=json.dumps(body), headers={"Content-Type": ctype})
        self.assertFalse(self.s.get(us).json()["VerifyCertificate"])
        self.assert_error(patch({"VerifyCertificate": "yes"}), 400,
                          "Base.1.8.PropertyValueTypeError")
        self.assert_error(patch({"Colour": 1}), 400, "Base.1.8.PropertyUnknown")
        self.assertEqual(patch({"VerifyCertificate": True}, "text/plain").status_code, 415)
        other_ca = f"{SVC.dir}/other-ca.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=Another CA", "-keyout", other_ca + ".key", "-out", other_ca],
                       check=True, capture_output=True)
        good_ca = read_file(SVC.ca_bundle)
        self.addCleanup(write_file, SVC.ca_bundle, good_ca)
        self.addCleanup(lambda: self.assertFalse(
            patch({"VerifyCertificate": False}).json()["VerifyCertificate"]))
        self.assertTrue(patch({"VerifyCertificate": True}).json()["VerifyCertificate"])
        # (CA bundle, the monitor's final status): a certificate of another CA fails.
        for bundle, status in ((read_file(other_ca), 500), (good_ca, 200)):
            write_file(SVC.ca_bundle, bundle)
            final, _ = self.update(
                {"ImageURI": f"https://127.0.0.1:{ENV['HTTPS_PORT']}/files/hello.txt"})
            self.assertEqual(final.status_code, status)

    def test_ten_tasks_run_the_eleventh_waits_and_they_outlive_a_restart(self):
        plain = Service("restart", tls=False)  # one of its own, to be restarted
        plain.start()

        def stopped():
            self.assertEqual(plain.stop(), 0, plain.logs())
            self.assertNotRegex(plain.logs(), r"Sanitizer|runtime error")
        self.addCleanup(stopped)
        # /stall/ sends half of a file, then nothing: the tasks run until deleted.
        uris = [http_file(f"rf-c{i}.bin", 1 << 20, "stall") for i in range(11)]
        barrier = threading.Barrier(11)

        def post(uri):
            s = Client(plain)
            barrier.wait()
            return s.post_json(UPDATE, {"ImageURI": uri})

        with concurrent.futures.ThreadPoolExecutor(11) as pool:
            answers = list(pool.map(post, uris))
        refused = [r for r in answers if r.status_code != 202]
        self.assertEqual(len(refused), 1, [r.text for r in refused])
        self.assert_error(refused[0], 503, "Base.1.8.ServiceTemporarilyUnavailable")
        self.assertRegex(refused[0].headers.get("Retry-After", ""), r"^\d+$")
        tasks = sorted((int(r.json()["Id"]), r.json()["@odata.id"], r.headers["Location"])
                       for r in answers if r.status_code == 202)
        self.assertEqual([t[0] for t in tasks], list(range(1, 11)))
        s = Client(plain)

        def running(tasks, *clients):  # listed by every client, running, monitors waiting
            for client in clients:
                self.assertEqual(sorted(client.transfer_tasks()), sorted(t[1] for t in tasks))
            for _, uri, monitor in tasks:
                self.assertEqual((s.get(uri).json()["TaskState"], s.get(monitor).status_code),
                                 ("Running", 202))
        running(tasks, s)
        for _, uri, monitor in tasks[:5]:  # a deleted task is gone at once
            self.assertEqual(s.delete(uri).status_code, 204)
            self.assertEqual((s.get(uri).status_code, s.get(monitor).status_code), (404, 404))
        # Half of each file arrives, then nothing. The progress callback works on every fourth
        # call counted over the whole process, and stalled transfers call it once a second in
        # a steady order: some tasks may keep an older percentage, but one always shows 50.
        at_half = []

        def some_at_half():
            at_half[:] = [t for t in tasks[5:] if s.get(t[1]).json()["PercentComplete"] == 50]
            return at_half
        wait_until(some_at_half, "a task at 50 %")
        self.assertEqual(s.get(at_half[0][1]).json()["TaskState"], "Running")
        # The other five outlive a restart, and the other service instance sees them too.
        self.assertEqual(plain.stop(), 0, plain.logs())
        plain.start()
        s = Client(plain)
        running(tasks[5:], s, self.s)
        self.assertEqual(s.get(at_half[0][1]).json()["PercentComplete"], 50)
        # Their workers died with the first process, so the records are never written again.
        # Once one is older than the library's stall limit (120 s; aged here by moving the
        # record's time stamp, ComponentProcess.uiTime at byte 8, back), its task shows as
        # failed and its monitor gives the outcome.
        task_id, uri, monitor = at_half[0]
        with open(f"/var/uploadDownload{task_id}.progress", "r+b") as f:
            f.seek(8)
            f.write(struct.pack("<I", int(time.time()) - 200))
        stale = s.get(uri).json()
        self.assertEqual(stale["TaskState"], "Exception")
        self.assertIn("FileHandle.1.0.TransferStalled", [m["MessageId"] for m in stale["Messages"]])
        self.assert_error(s.get(monitor), 500, "TaskEvent.1.0.TaskAborted")
        for _, uri, _ in tasks[5:]:
            self.assertEqual((s.delete(uri).status_code, self.s.get(uri).status_code), (204, 404))

    def test_delete_stops_a_running_transfer(self):
        uri = http_file("rf-del.bin", 4 << 20, "stall")
        ended = lambda: read_file(f"{ENV['TEST_DIR']}/logs/access.log").count(b"/stall/rf-del.bin")
        before = ended()
        r = self.s.post_json(UPDATE, {"ImageURI": uri})
        self.assertEqual(r.status_code, 202, r.text)
        self.assertEqual(self.s.wait_percent(r.json()["@odata.id"], 50)["TaskState"], "Running")
        self.assertEqual(self.s.delete(r.json()["@odata.id"]).status_code, 204)
        # nginx logs a request once it has ended: the transfer was dropped, not left hanging
        # until the server's 600 s stall is over.
        wait_until(lambda: ended() > before, "the deleted task's transfer to end")

    def test_logo_upload(self):
        uri = http_file("logo1.png", 40 * 1024)
        image = read_file(os.path.join(ENV["TEST_DIR"], "www", "files", "logo1.png"))
        # The controller's storage partition; the library makes the logo directory in it.
        os.makedirs(os.path.dirname(LOGO_DIR), exist_ok=True)
        for path in (OEM_FLAG, LOGO_SWITCH):
            if os.path.exists(path):
                os.unlink(path)
        # Switched off on this controller: refused before any task exists.
        err = self.assert_error(self.s.post_json(LOGO, {"ImageURI": uri}), 400,
                                "Base.1.8.ActionNotSupported", "FileHandle.1.0.LibraryResult")
        self.assertIn("0x3c000614", json.dumps(err))
        write_file(OEM_FLAG, b"3\n")
        write_file(LOGO_SWITCH, b"1\n")
        self.assert_error(self.s.post_json(LOGO, {"ImageURI": uri.replace("logo1", "logo9")}),
                          400, "Base.1.8.ActionParameterValueNotInList")
        r = self.s.post_json(LOGO, {"ImageURI": uri})
        self.assertEqual(r.status_code, 202, r.text)
        task = r.json()["@odata.id"]
        self.assertRegex(r.json()["Id"], r"^Logo\d+$")
        final = self.s.wait_monitor(r.headers["Location"])
        self.assertEqual((final.status_code, final.json()["TaskState"],
                          final.json()["PercentComplete"]), (200, "Completed", 100), final.text)
        self.assertEqual(read_file(f"{LOGO_DIR}/logo1.png"), image)
        self.assertIn(task, [m["@odata.id"] for m in self.s.get(TASKS).json()["Members"]])
        got = SVC.sushy().get_task_service().tasks.get_member(task)
        self.assertEqual(got.task_state, task_constants.TaskState.COMPLETED)
        # Task-service tasks are the platform's record; they cannot be deleted here.
        self.assert_error(self.s.delete(task), 405, "Base.1.8.ResourceCannotBeDeleted")


def main():
    global BINARY
    if len(sys.argv) < 2 or os.environ.get("FH_PRIVATE_VAR") != "1":
        print(__doc__)
        return 2
    BINARY = os.path.abspath(sys.argv.pop(1))
    for var in ("FH_TEST_SERVERS", "FH_SSH_FTP_ENV", "FH_SHARE_ENV", "FH_TFTP_ENV"):
        if not os.path.exists(os.environ.get(var, "")):
            print(f"skipped: {var} names no server env file (run through scripts/run-tests.sh)")
            return 77
        env = dict(line.strip().split("=", 1) for line in open(os.environ[var])
                   if "=" in line and not line.startswith("#"))
        if var == "FH_TFTP_ENV":
            env["TFTP_DIR"] = env["TEST_DIR"]
        for key, value in env.items():
            ENV.setdefault(key, value)  # TEST_DIR stays the HTTP servers' directory
    tests = [t for t in unittest.defaultTestLoader.loadTestsFromTestCase(RedfishServiceTest)
             if len(sys.argv) == 1 or any(a in t.id() for a in sys.argv[1:])]
    if os.environ.get("FH_TEST_SHUFFLE"):
        random.Random(os.environ["FH_TEST_SHUFFLE"]).shuffle(tests)
    result = unittest.TextTestRunner(verbosity=2).run(unittest.TestSuite(tests))
    status = SVC.stop() if SVC and SVC.proc else 0
    logs = SVC.logs() if SVC else ""
    ok = result.wasSuccessful() and status == 0 and not re.search(r"Sanitizer|runtime error", logs)
    if not ok:
        print(f"service exit status {status}; its log:\n{logs[-6000:]}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
