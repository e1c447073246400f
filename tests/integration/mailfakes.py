"""Peers of the mail relay tests: an SMTP server (aiosmtpd) that records what
it receives, a test case base with relay proxies and fake inspection
services, and a private Dovecot instance for POP3 and IMAP4.  Everything
runs on loopback with free ports and is bounded in time."""
import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

from proxytest import FakeService, free_port, proxy_for, stop_process, wait_port

SPAM_MARK = b"XX-SPAM-MARK-XX"


class SmtpSink:
    """aiosmtpd server recording every accepted message as (sender, recipients,
    content, came over TLS).  A message whose content holds b"REJECT-ME" gets a
    554 final reply.  With tls_context it offers STARTTLS (implicit TLS too when
    implicit is set)."""

    def __init__(self, tls_context=None, implicit=False):
        from aiosmtpd.controller import Controller
        self.messages = []
        self.lock = threading.Lock()
        sink = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                content = envelope.original_content or envelope.content
                if b"REJECT-ME" in content:
                    return "554 Message rejected"
                with sink.lock:
                    sink.messages.append((envelope.mail_from, list(envelope.rcpt_tos), content,
                                          session.ssl is not None))
                return "250 OK queued"

        self.port = free_port()
        kw = {}
        if tls_context is not None:
            kw = {"ssl_context": tls_context} if implicit else {"tls_context": tls_context,
                                                               "require_starttls": False}
        self.controller = Controller(Handler(), hostname="127.0.0.1", port=self.port, **kw)
        self.controller.start()

    def wait_messages(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                if len(self.messages) >= count:
                    return list(self.messages)
            time.sleep(0.02)
        with self.lock:
            return list(self.messages)

    def clear(self):
        with self.lock:
            self.messages.clear()

    def stop(self):
        self.controller.stop()


class RelayTestCase(unittest.TestCase):
    """Relay proxies and fake services that end with the test."""

    def relay(self, mode, server_port, *args):
        """A relay proxy (not started) towards the server on loopback port server_port."""
        return proxy_for(self, mode, ["-S=127.0.0.1 %d" % server_port] + list(args))

    def service(self, proxy, name, verdict):
        """A fake service in the proxy's data folder, also listed in self.services."""
        svc = FakeService(proxy.data, name, verdict)
        self.addCleanup(svc.stop)
        self.__dict__.setdefault("services", []).append(svc)
        return svc


DOVECOT_CONF = """\
base_dir = {run}
state_dir = {run}/state
instance_name = relaytest{port_pop}
listen = 127.0.0.1
protocols = pop3 imap
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
log_path = {home}/dovecot.log
info_log_path = {home}/dovecot.log
default_internal_user = {internal}
default_login_user = {login}
mail_location = mbox:{home}/mail:INBOX={home}/mail/inbox
mail_uid = {user}
mail_gid = {group}
first_valid_uid = 0
first_valid_gid = 0
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {home}/passwd
}}
userdb {{
  driver = static
  args = uid={user} gid={group} home={home}/home/%u
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {port_pop}
  }}
  inet_listener pop3s {{
    port = 0
  }}
}}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {port_imap}
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
service anvil {{
  chroot =
}}
service imap-login {{
  chroot =
}}
service pop3-login {{
  chroot =
}}
service stats {{
  unix_listener stats-reader {{
    mode = 0666
  }}
  unix_listener stats-writer {{
    mode = 0666
  }}
}}
"""


class Dovecot:
    """A private Dovecot (POP3 and IMAP4, plain logins) with one user whose
    mailbox is an mbox file filled by the test."""

    USER = "alice"
    PASSWORD = "secret-pw"

    def __init__(self):
        self.home = tempfile.mkdtemp(prefix="dove", dir="/tmp")
        self.run = os.path.join(self.home, "run")
        os.makedirs(os.path.join(self.run, "state"))
        os.makedirs(os.path.join(self.home, "mail"))
        os.makedirs(os.path.join(self.home, "home", self.USER))
        for d in (self.home, self.run, os.path.join(self.home, "mail"), os.path.join(self.home, "home"),
                  os.path.join(self.home, "home", self.USER)):
            os.chmod(d, 0o777)
        with open(os.path.join(self.home, "passwd"), "w") as f:
            f.write("%s:{PLAIN}%s\n" % (self.USER, self.PASSWORD))
        self.port_pop = free_port()
        self.port_imap = free_port()
        import grp
        import pwd
        user = pwd.getpwuid(os.getuid()).pw_name
        group = grp.getgrgid(os.getgid()).gr_name
        internal = login = user
        if os.getuid() == 0:
            # Dovecot runs neither its login processes nor mail as root.
            internal, login, user, group = "dovecot", "dovenull", "nobody", "nogroup"
        self.conf = os.path.join(self.home, "dovecot.conf")
        with open(self.conf, "w") as f:
            f.write(DOVECOT_CONF.format(run=self.run, home=self.home, port_pop=self.port_pop,
                                        port_imap=self.port_imap, user=user, group=group,
                                        internal=internal, login=login))
        self.proc = None

    def set_messages(self, messages):
        """Replaces the inbox by the messages (bytes with CRLF or LF line ends)."""
        with open(os.path.join(self.home, "mail", "inbox"), "wb") as f:
            for i, msg in enumerate(messages):
                body = msg.replace(b"\r\n", b"\n")
                # mbox: escape From lines and separate the messages.
                lines = [(b">" + l if l.startswith(b"From ") else l) for l in body.split(b"\n")]
                f.write(b"From sender@example.test Mon Dec  7 10:00:%02d 2026\n" % i)
                f.write(b"\n".join(lines).rstrip(b"\n") + b"\n\n")
        os.chmod(os.path.join(self.home, "mail", "inbox"), 0o666)

    def start(self):
        with open(os.path.join(self.home, "stderr"), "wb") as err:
            self.proc = subprocess.Popen(["/usr/sbin/dovecot", "-F", "-c", self.conf],
                                         stdout=subprocess.DEVNULL, stderr=err)
        if not (wait_port(self.port_pop) and wait_port(self.port_imap)):
            self.stop()
            raise RuntimeError("dovecot did not start: " + self.log())
        return self

    def log(self):
        out = ""
        for name in ("stderr", "dovecot.log"):
            try:
                with open(os.path.join(self.home, name), errors="replace") as f:
                    out += f.read()
            except OSError:
                pass
        return out

    def stop(self):
        stop_process(self.proc)
        self.proc = None

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.home, ignore_errors=True)
