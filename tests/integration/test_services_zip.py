"""The attachment compressor qzmail2zip through its socket, called with the
proxy's own client code (CompressedbyPipe): real messages made with Python's
email package, rewritten in place and re-parsed; the archive unpacked with
unzip; messages left alone; SMTP DATA form; malformed, missing and foreign
files; concurrent callers."""
import email
import email.policy
import os
import subprocess
import tempfile
import unittest
from email.message import EmailMessage

from servicetest import DataFolder, Service, ServiceCase, call, finish_call, raw_call, request, service_bin, start_call

BIG = 150 * 1024           # above the default threshold of 100 KiB


def payload(n, seed):
    # Compressible but not trivial: lines of text with a counter.
    line = ("%s line %%07d of the attachment\n" % seed)
    data = "".join(line % i for i in range(n // len(line) + 1)).encode()
    return data[:n]


def message(attachments, text="Hello,\nthe report is attached.\n.a line that begins with a dot\n"):
    m = EmailMessage()
    m["From"] = "Alice <alice@example.com>"
    m["To"] = "bob@example.org"
    m["Subject"] = "Quarterly r\u00e9port"
    m["Message-ID"] = "<12345@example.com>"
    m["X-Custom"] = "kept as it is"
    m.set_content(text)
    for name, data, ctype in attachments:
        maintype, subtype = ctype.split("/")
        m.add_attachment(data, maintype=maintype, subtype=subtype, filename=name)
    return m


def as_smtp(m):
    """The message as the SMTP relay spools it: CRLF, dot-stuffed, ".\r\n" last."""
    raw = m.as_bytes(policy=email.policy.SMTP)
    lines = raw.split(b"\r\n")
    if lines[-1] == b"":
        lines.pop()
    return b"".join((b"." + l if l.startswith(b".") else l) + b"\r\n" for l in lines) + b".\r\n"


def from_smtp(data):
    assert data.endswith(b"\r\n.\r\n"), data[-20:]
    lines = data[:-3].split(b"\r\n")
    return b"\r\n".join(l[1:] if l.startswith(b".") else l for l in lines)


@unittest.skipUnless(os.path.exists(service_bin("qzmail2zip")), "qzmail2zip not built")
class ZipServiceTest(ServiceCase):
    name, args, count = "qzmail2zip", ["-K=5000000"], 0

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        os.makedirs(cls.folder.path("cache"))

    def compress(self, data, envelope=True):
        """Spools data, calls CompressedbyPipe; returns (reply, new data,
        envelope still there)."""
        ZipServiceTest.count += 1
        mail_id = "mail%d" % self.count
        spool = self.folder.write("spool%d.dat" % self.count, data)
        env = self.folder.path("cache", mail_id + ".$CP")
        if envelope:
            with open(env, "w") as f:
                f.write("Message-ID: <%s>\nReturn-path: a@example.com\nRecipient: b@example.org\n" % mail_id)
        rc, reply, _ = call(self.folder, "zip", spool, mail_id)
        self.assertEqual(rc, 1)
        with open(spool, "rb") as f:
            out = f.read()
        self.assertFalse(os.path.exists(self.folder.path("cache", mail_id + ".dat")))
        return reply, out, os.path.exists(env)

    def unzip(self, part):
        with tempfile.TemporaryDirectory() as d:
            name = os.path.join(d, "a.zip")
            with open(name, "wb") as f:
                f.write(part.get_content())
            subprocess.run(["unzip", "-tq", name], check=True, capture_output=True)
            subprocess.run(["unzip", "-q", name, "-d", os.path.join(d, "x")], check=True, capture_output=True)
            out = {}
            for root, _, files in os.walk(os.path.join(d, "x")):
                for fn in files:
                    with open(os.path.join(root, fn), "rb") as f:
                        out[os.path.relpath(os.path.join(root, fn), os.path.join(d, "x"))] = f.read()
            return out

    def parse(self, data):
        return email.message_from_bytes(data, policy=email.policy.default)

    def test_large_attachments_move_into_one_archive(self):
        big1, big2 = payload(BIG, "first"), payload(BIG + 7, "second")
        small = b"small attachment stays"
        original = message([("report.pdf", big1, "application/pdf"), ("notes.txt", small, "text/plain"),
                            ("data.csv", big2, "text/csv")])
        reply, out, env_kept = self.compress(as_smtp(original))
        self.assertTrue(reply.startswith("Compressed 2 attachments"), reply)
        self.assertTrue(env_kept)
        self.assertLess(len(out), BIG)
        m = self.parse(from_smtp(out))
        self.assertEqual(m.defects, [])
        # Headers and the text part as they were.
        before = self.parse(from_smtp(as_smtp(original)))
        for name in ("From", "To", "Subject", "Message-ID", "X-Custom"):
            self.assertEqual(m[name], before[name], name)
        self.assertEqual(m.get_body(("plain",)).get_content(), before.get_body(("plain",)).get_content())
        self.assertIn(b"\r\n..a line that begins with a dot\r\n", out)
        atts = list(m.iter_attachments())
        self.assertEqual([a.get_filename() for a in atts], ["notes.txt", "attachments.zip"])
        self.assertEqual(atts[0].get_content().encode(), small)
        self.assertEqual(atts[1].get_content_type(), "application/zip")
        self.assertEqual(self.unzip(atts[1]), {"report.pdf": big1, "data.csv": big2})

    def test_messages_left_alone(self):
        signed = EmailMessage()
        signed["From"] = "a@example.com"
        signed["Subject"] = "signed"
        signed.set_content("signed text")
        signed.add_attachment(payload(BIG, "s"), maintype="application", subtype="octet-stream", filename="s.bin")
        signed.replace_header("Content-Type", signed["Content-Type"].replace("multipart/mixed", "multipart/signed"))
        cases = [
            ("small attachments only", as_smtp(message([("a.bin", b"x" * 1000, "application/octet-stream")]))),
            ("no attachment", as_smtp(message([]))),
            ("signed multipart", as_smtp(signed)),
            ("plain text mail", b"Subject: hi\r\n\r\nbody\r\n.\r\n"),
            ("not MIME at all", bytes(range(256)) * 40),
            ("empty file", b""),
            ("only the end mark", b".\r\n"),
        ]
        for label, data in cases:
            with self.subTest(label):
                reply, out, env_kept = self.compress(data)
                self.assertEqual(reply, "")
                self.assertEqual(out, data)  # byte for byte
                self.assertFalse(env_kept)   # the client drops the envelope of an unchanged mail

    def test_plain_lf_message_and_names(self):
        data = message([("../../etc/evil.bin", payload(BIG, "e"), "application/octet-stream"),
                        ("same.bin", payload(BIG, "a"), "application/octet-stream"),
                        ("same.bin", payload(BIG, "b"), "application/octet-stream")]).as_bytes()
        self.assertNotIn(b"\r\n", data)
        reply, out, _ = self.compress(data)
        self.assertIn("3 attachments", reply)
        self.assertNotIn(b"\r\n", out)
        self.assertFalse(out.endswith(b"\n.\n"))
        m = self.parse(out)
        (zpart,) = [a for a in m.iter_attachments()]
        files = self.unzip(zpart)
        self.assertEqual(sorted(files), ["evil.bin", "same-2.bin", "same.bin"])
        self.assertEqual(files["same-2.bin"], payload(BIG, "b"))

    def test_nested_and_alternative_bodies(self):
        m = EmailMessage()
        m["From"] = "a@example.com"
        m["Subject"] = "alternative"
        m.set_content("text version")
        m.add_alternative("<p>html version</p>", subtype="html")
        m.make_mixed()
        inner = EmailMessage()
        inner.add_attachment(payload(BIG, "inner"), maintype="application", subtype="octet-stream",
                             filename="inner.bin")
        m.attach(inner)
        reply, out, _ = self.compress(as_smtp(m))
        self.assertIn("1 attachment", reply)
        r = self.parse(from_smtp(out))
        self.assertEqual(r.get_body(("html",)).get_content().strip(), "<p>html version</p>")
        zips = [p for p in r.walk() if p.get_filename() == "attachments.zip"]
        self.assertEqual(len(zips), 1)
        self.assertEqual(self.unzip(zips[0]), {"inner.bin": payload(BIG, "inner")})
        # The multipart that held only the attachment is gone.
        self.assertEqual([p.get_content_type() for p in r.iter_parts()], ["multipart/alternative", "application/zip"])

    def test_bad_files(self):
        outside = tempfile.NamedTemporaryFile(delete=False)
        outside.write(as_smtp(message([("x.bin", payload(BIG, "x"), "application/octet-stream")])))
        outside.close()
        big = self.folder.write("cache/huge.dat", b"Subject: x\r\n\r\n" + b"a" * 5000001)
        os.mkfifo(self.folder.path("cache", "fifo.dat"))
        try:
            cases = [
                ("missing", self.folder.path("cache", "none.dat"), "file not found"),
                ("outside the data folder", outside.name, "not inside the data folder"),
                ("climbing out", self.folder.path("cache", "..", "..", os.path.basename(outside.name)),
                 "not inside the data folder"),
                ("larger than -K", big, "file too large"),
                ("fifo", self.folder.path("cache", "fifo.dat"), "not a regular file"),
            ]
            for label, path, note in cases:
                with self.subTest(label):
                    self.assertEqual(raw_call(self.svc.sock, request(path, 521)), b"")
                    self.svc.wait_log(note)
            with open(outside.name, "rb") as f:
                self.assertIn(b"x.bin", f.read())
        finally:
            os.unlink(outside.name)

    def test_concurrent_callers(self):
        procs = []
        for i in range(12):
            atts = [("f%d.bin" % i, payload(BIG + i, "c%d" % i), "application/octet-stream")] if i % 2 else []
            spool = self.folder.write("conc%d.dat" % i, as_smtp(message(atts)))
            procs.append((start_call(self.folder, "zip", spool, "conc%d" % i), spool, i))
        for proc, spool, i in procs:
            rc, reply = finish_call(proc)
            self.assertEqual(rc, 1)
            with open(spool, "rb") as f:
                m = self.parse(from_smtp(f.read()))
            if i % 2:
                self.assertTrue(reply.startswith("Compressed 1 attachment"), reply)
                (z,) = list(m.iter_attachments())
                self.assertEqual(self.unzip(z), {"f%d.bin" % i: payload(BIG + i, "c%d" % i)})
            else:
                self.assertEqual(reply, "")


@unittest.skipUnless(os.path.exists(service_bin("qzmail2zip")), "qzmail2zip not built")
class ZipThresholdTest(unittest.TestCase):
    def test_threshold_switch(self):
        folder = DataFolder()
        try:
            svc = Service(folder, "qzmail2zip", ["-S=1000"])
            cases = [(1000, ""), (1001, "Compressed 1 attachment")]
            for size, want in cases:
                spool = folder.write("cache/t%d.dat" % size,
                                     as_smtp(message([("a.bin", os.urandom(size), "application/octet-stream")])))
                reply = raw_call(svc.sock, request(spool, 521)).decode()
                self.assertTrue(reply.startswith(want) if want else reply == "", (size, reply))
            self.assertEqual(svc.stop(), 0)
            p = subprocess.run([service_bin("qzmail2zip"), "-Z=" + folder.data, "-S=-5"], capture_output=True,
                               timeout=20)
            self.assertEqual(p.returncode, 2)
            self.assertIn("-S", p.stderr.decode())
        finally:
            folder.cleanup()


if __name__ == "__main__":
    unittest.main()
