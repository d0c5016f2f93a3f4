# Logins over TLS with Python's standard NNTP client library: STARTTLS on
# the plain port and a connection to the TLS port, each checked against the
# test's certificate authority, then the login's refusals and what a login
# opens. Prints "tls nntplib session ok" at the end; any failure raises.
#   python3 tls_nntplib_test.py port tls_port ca_file password
import ssl
import time
import sys
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def refused(call, code):
    """Runs `call`; raises unless the server answers with `code`."""
    try:
        call()
    except nntplib.NNTPError as error:
        check(str(error.response).startswith(code), "wanted %s, got %r" % (code, error.response))
        return
    raise AssertionError("no %s refusal" % code)


port, tls_port, ca_file, password = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
context = ssl.create_default_context(cafile=ca_file)

# In clear text the login waits for TLS; so do the reader's commands.
s = nntplib.NNTP("127.0.0.1", port, readermode=False)
check("STARTTLS" in s.getcapabilities(), "STARTTLS offered in clear text")
refused(lambda: s._shortcmd("AUTHINFO USER alice"), "483")
refused(lambda: s.group("alt.test"), "480")
s.starttls(context)
check("STARTTLS" not in s.getcapabilities(), "STARTTLS offered again under TLS")
check("AUTHINFO" in s.getcapabilities(), "AUTHINFO not offered under TLS")
refused(lambda: s._shortcmd("AUTHINFO PASS " + password), "482")
s._shortcmd("AUTHINFO USER alice")
refused(lambda: s._shortcmd("AUTHINFO PASS not-" + password), "481")
s.login("alice", password)
refused(lambda: s._shortcmd("STARTTLS"), "502")
_, count, first, last, name = s.group("alt.test")
check(name == "alt.test", "GROUP after the login")
s.post(b"From: Alice <alice@tls.test>\r\nNewsgroups: alt.test\r\nSubject: over tls\r\n\r\nencrypted\r\n")
s.quit()

# The TLS port: encrypted from the first byte; the login reads back the post.
s = nntplib.NNTP_SSL("127.0.0.1", tls_port, ssl_context=context, readermode=False)
check("STARTTLS" not in s.getcapabilities(), "STARTTLS offered on the TLS port")
s.login("alice", password)
for attempt in range(300):
    _, count, first, last, _ = s.group("alt.test")
    subjects = [fields["subject"] for _, fields in s.over((first, last))[1]] if count else []
    if "over tls" in subjects:
        break
    time.sleep(0.1)
check("over tls" in subjects, "the post over STARTTLS never showed up: %r" % subjects)
number = [n for n, fields in s.over((first, last))[1] if fields["subject"] == "over tls"][0]
_, info = s.body(number)
check(info.lines == [b"encrypted"], "body read back: %r" % info.lines)
s.quit()
print("tls nntplib session ok")
