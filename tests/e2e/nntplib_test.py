# A session of Python's standard NNTP client library against a running
# server: feed two articles, list the groups, read a group's overview and an
# article, list new groups and post. Prints "nntplib session ok" at the end;
# any failure raises.
#   python3 nntplib_test.py port
import datetime
import email.utils
import sys
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


def main():
    port = int(sys.argv[1])
    with nntplib.NNTP("127.0.0.1", port, readermode=True, timeout=30) as s:
        for n in (1, 2):
            s.ihave("<lib%d@nntplib.test>" % n, article(b"<lib%d@nntplib.test>" % n, b"library %d" % n))

        _, groups = s.list()
        names = [g.group for g in groups]
        check("alt.test" in names and "misc.test" in names, "group list: %r" % names)

        _, count, first, last, name = s.group("alt.test")
        check(name == "alt.test" and last - first + 1 == count and last >= 3, "group: %r" % ((count, first, last),))
        _, overviews = s.over((first, last))
        subjects = {fields["subject"]: number for number, fields in overviews}
        check("library 1" in subjects and "library 2" in subjects, "overview: %r" % overviews)
        number = subjects["library 2"]
        check(overviews[-1][1]["message-id"] == "<lib2@nntplib.test>", "overview fields: %r" % overviews[-1][1])

        _, info = s.article(number)
        check(info.number == number and info.message_id == "<lib2@nntplib.test>", "article: %r" % (info[:2],))
        check(info.lines[-2:] == [b"First line.", b". a dotted line"], "article lines: %r" % info.lines)
        _, info = s.head("<lib1@nntplib.test>")
        check(b"Subject: library 1" in info.lines, "head by message-ID: %r" % info.lines)
        _, info = s.body(number)
        check(info.lines == [b"First line.", b". a dotted line"], "body: %r" % info.lines)
        _, current, _ = s.stat()
        check(current == number, "stat of the current article: %r" % current)

        _, new = s.newgroups(datetime.date(1999, 1, 1))
        check(isinstance(new, list), "newgroups: %r" % new)

        s.post(article(b"<post@nntplib.test>", b"posted by the library"))
    print("nntplib session ok")


main()
