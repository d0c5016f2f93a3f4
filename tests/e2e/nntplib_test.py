# A session of Python's standard NNTP client library against a running
# server: feed two articles, ask for the capabilities, list the groups and
# their descriptions, read a group's overview (by range and by message-ID),
# header values and an article, look articles up by message-ID, ask for the
# date, help, new groups and new articles, post, read the posts back and post
# a follow-up that threads under the first. Prints "nntplib session ok" at
# the end; any failure raises.
#   python3 nntplib_test.py port
import datetime
import email.utils
import sys
import time
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib


def article(message_id, subject, extra=b""):
    date = email.utils.formatdate(usegmt=True).encode()
    return (b"Path: feeder.test!not-for-mail\r\nFrom: someone@nntplib.test\r\n"
            b"Newsgroups: alt.test\r\nSubject: " + subject + b"\r\nMessage-ID: " + message_id +
            b"\r\nDate: " + date + b"\r\n" + extra + b"\r\nFirst line.\r\n. a dotted line\r\n")


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def wait_for_subject(s, group, subject):
    """The overview fields of the article with `subject`, once it is in the
    group, and the seconds that took; raises after 30 s."""
    start = time.monotonic()
    while time.monotonic() - start < 30:
        _, count, first, last, _ = s.group(group)
        if count:
            _, overviews = s.over((first, last))
            for number, fields in overviews:
                if fields["subject"] == subject:
                    return number, fields, time.monotonic() - start
        time.sleep(0.01)
    raise AssertionError("%s never appeared in %s" % (subject, group))


def post_and_read_back(s):
    """A post with only the headers a reader gives, read back by number and by
    the Message-ID the server gave it; then a follow-up threading under it."""
    s.post(b"From: Reader <reader@nntplib.test>\r\nNewsgroups: misc.test\r\n"
           b"Subject: completed by the server\r\n\r\nposted body\r\n.starts with a dot\r\n")
    number, fields, seconds = wait_for_subject(s, "misc.test", "completed by the server")
    print("post readable after %.3f s" % seconds)
    message_id = fields["message-id"]
    check(message_id.endswith("@verdalix.test>") or message_id.endswith("@demo.verdalix>"),
          "added Message-ID: %r" % message_id)
    _, info = s.article(number)
    head = info.lines[:info.lines.index(b"")]
    check(info.message_id == message_id, "article by number: %r" % (info[:2],))
    check(info.lines[-2:] == [b"posted body", b".starts with a dot"], "body: %r" % info.lines)
    check(any(line.startswith(b"Path: ") and line.endswith(b"!.POSTED!not-for-mail") for line in head),
          "Path: %r" % head)
    for name in (b"Date: ", b"Injection-Date: ", b"Injection-Info: "):
        check(any(line.startswith(name) for line in head), "%r in %r" % (name, head))
    check(any(b'posting-host="127.0.0.1"' in line for line in head), "posting host: %r" % head)
    _, info = s.article(message_id)
    check(info.lines[-1] == b".starts with a dot", "article by message-ID: %r" % info.lines)

    s.post(b"From: Other <other@nntplib.test>\r\nNewsgroups: misc.test\r\n"
           b"Subject: Re: completed by the server\r\nReferences: " + message_id.encode() +
           b"\r\n\r\nan answer\r\n")
    _, follow, _ = wait_for_subject(s, "misc.test", "Re: completed by the server")
    check(follow["references"] == message_id, "follow-up references: %r" % follow)


def main():
    port = int(sys.argv[1])
    with nntplib.NNTP("127.0.0.1", port, readermode=True, timeout=30) as s:
        for n in (1, 2):
            s.ihave("<lib%d@nntplib.test>" % n, article(b"<lib%d@nntplib.test>" % n, b"library %d" % n))

        caps = s.getcapabilities()
        check(caps.get("VERSION") == ["2"] and "READER" in caps and "POST" in caps, "capabilities: %r" % caps)
        check(caps.get("OVER") == ["MSGID"] and "HDR" in caps and "NEWNEWS" in caps, "capabilities: %r" % caps)
        check("NEWSGROUPS" in caps.get("LIST", []) and "OVERVIEW.FMT" in caps.get("LIST", []), "LIST: %r" % caps)

        _, groups = s.list()
        names = [g.group for g in groups]
        check("alt.test" in names and "misc.test" in names, "group list: %r" % names)

        _, described = s.descriptions("*.test,!misc.*")
        check(described == {"alt.test": "Testing, alternatively"}, "descriptions: %r" % described)
        check(s.description("misc.test") == "Miscellaneous tests", "description of misc.test")
        _, active = s.list("alt.*,!alt.test")
        check(active == [], "list with a wildmat: %r" % active)

        _, count, first, last, name = s.group("alt.test")
        check(name == "alt.test" and last - first + 1 == count and last >= 3, "group: %r" % ((count, first, last),))
        _, overviews = s.over((first, last))
        subjects = {fields["subject"]: number for number, fields in overviews}
        check("library 1" in subjects and "library 2" in subjects, "overview: %r" % overviews)
        number = subjects["library 2"]
        check(overviews[-1][1]["message-id"] == "<lib2@nntplib.test>", "overview fields: %r" % overviews[-1][1])

        _, by_id = s.over("<lib1@nntplib.test>")
        check(len(by_id) == 1 and by_id[0][0] == 0 and by_id[0][1]["subject"] == "library 1", "over by ID: %r" % by_id)
        check("alt.test:%d" % subjects["library 1"] in by_id[0][1]["xref"].split(), "xref: %r" % by_id[0][1])
        _, headers = s.xhdr("subject", "%d-%d" % (first, last))
        check(("%d" % number, "library 2") in headers, "xhdr: %r" % headers)
        resp, lines = s._longcmdstring("HDR Subject %d" % number)
        check(resp.startswith("225") and lines == ["%d library 2" % number], "hdr: %r" % ((resp, lines),))

        _, info = s.article(number)
        check(info.number == number and info.message_id == "<lib2@nntplib.test>", "article: %r" % (info[:2],))
        check(info.lines[-2:] == [b"First line.", b". a dotted line"], "article lines: %r" % info.lines)
        _, info = s.head("<lib1@nntplib.test>")
        check(b"Subject: library 1" in info.lines, "head by message-ID: %r" % info.lines)
        _, info = s.body(number)
        check(info.lines == [b"First line.", b". a dotted line"], "body: %r" % info.lines)
        _, current, _ = s.stat()
        check(current == number, "stat of the current article: %r" % current)
        _, zero, found = s.stat("<lib1@nntplib.test>")
        check(zero == 0 and found == "<lib1@nntplib.test>", "stat by message-ID: %r" % ((zero, found),))
        try:
            s.stat("<none@nntplib.test>")
            check(False, "stat of an unknown message-ID")
        except nntplib.NNTPTemporaryError as error:
            check(str(error).startswith("430"), "stat of an unknown message-ID: %s" % error)
        _, current, _ = s.stat()
        check(current == number, "the current article stays: %r" % current)

        _, now = s.date()
        utc_now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
        check(abs((now - utc_now).total_seconds()) < 300, "date: %r" % now)
        _, help_lines = s.help()
        check(any(line.strip().startswith("OVER") for line in help_lines), "help: %r" % help_lines)
        _, ids = s.newnews("alt.*", utc_now - datetime.timedelta(hours=1))
        check(ids == ["<lib1@nntplib.test>", "<lib2@nntplib.test>"], "newnews: %r" % ids)
        _, ids = s.newnews("misc.*", utc_now - datetime.timedelta(hours=1))
        check(ids == [], "newnews of misc.*: %r" % ids)

        _, new = s.newgroups(datetime.date(1999, 1, 1))
        check(isinstance(new, list), "newgroups: %r" % new)

        s.post(article(b"<post@nntplib.test>", b"posted by the library"))
        _, fields, _ = wait_for_subject(s, "alt.test", "posted by the library")
        check(fields["message-id"] == "<post@nntplib.test>", "poster's Message-ID kept: %r" % fields)
        try:
            s.post(article(b"<post@nntplib.test>", b"posted again"))
            raise AssertionError("a second post under the same Message-ID was taken")
        except nntplib.NNTPTemporaryError as error:
            check(str(error) == "441 duplicate Message-ID <post@nntplib.test>", "refusal: %s" % error)
        post_and_read_back(s)
    print("nntplib session ok")


main()
