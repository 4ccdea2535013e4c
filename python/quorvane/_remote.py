"""check_remote: the text signed into a file on an fsspec file system, from its last bytes.

The package's exceptions and read_trailer are imported on each call, as the package imports
this module before it defines them.
"""

import builtins
import re
import sys

#: check_remote's first read: enough for a text of up to 1,020 UTF-16 code units.
FIRST_READ_BYTES = 4096

# Redirects check_remote follows for one read, as aiohttp does by default.
_MOST_REDIRECTS = 10
_CONTENT_RANGE = re.compile(r"bytes (\d+)-(\d+)/(\d+|\*)$")


def _read_refused(path, why):
    from . import CANNOT_READ, _error
    return _error(CANNOT_READ, "cannot read %s: %s" % (path, why), 0, path)


def _origin(url):
    return (url.scheme, (url.host or "").lower(), url.port)


async def _http_tail(fs, url, count, follow_other_hosts):
    """The last `count` bytes of `url` (all of it when shorter), asked for with a Range header,
    never more than `count` bytes read from the answer, and redirects followed by hand."""
    options = dict(fs.kwargs)
    options.pop("allow_redirects", None)
    headers = dict(options.pop("headers", None) or {})
    headers["Range"] = "bytes=-%d" % count
    # A range of a compressed answer counts compressed bytes, not the object's.
    headers["Accept-Encoding"] = "identity"
    session = await fs.set_session()
    target = fs.encode_url(url)
    for _ in range(_MOST_REDIRECTS + 1):
        async with session.get(target, headers=headers, allow_redirects=False, **options) as r:
            location = r.headers.get("Location")
            if r.status in (301, 302, 303, 307, 308) and location:
                r.close()
                moved = r.url.join(type(r.url)(location))
                if _origin(moved) != _origin(r.url):
                    if not follow_other_hosts:
                        raise _read_refused(url, "the server redirects it to another host (%s), "
                                            "which follow_other_hosts=True allows" % moved)
                    # The credentials are the first host's.
                    options.pop("auth", None)
                    headers = {name: value for name, value in headers.items()
                               if name.lower() != "authorization"}
                target = moved
                continue
            if r.status == 416 and r.headers.get("Content-Range") == "bytes */0":
                return b""  # an empty object has no last bytes to give
            fs._raise_not_found_for_status(r, url)
            span = None
            if r.status == 206:
                span = _CONTENT_RANGE.match(r.headers.get("Content-Range", ""))
                if span is None:
                    r.close()
                    raise _read_refused(url, "the server sent a part without saying which")
            # Read in bounded pieces: a server that ignores Range may send any length.
            body = bytearray()
            while True:
                piece = await r.content.read(count + 1 - len(body))
                if not piece:
                    break
                body += piece
                if len(body) > count:
                    r.close()
                    raise _read_refused(url, "the server sent more than the %d bytes asked for"
                                        % count)
            if span is not None:
                first, last, size = span.groups()
                # The part must be the object's end, all asked for or all there is.
                if (int(last) - int(first) + 1 != len(body)
                        or (size != "*" and int(last) + 1 != int(size))
                        or (len(body) < count and int(first) != 0)):
                    raise _read_refused(url, "the server sent other bytes than the last %d "
                                        "asked for" % count)
            return bytes(body)
    raise _read_refused(url, "more than %d redirects" % _MOST_REDIRECTS)


def _remote_tail(fs, path, count, follow_other_hosts):
    """The last `count` bytes of `path` on `fs` (all of it when shorter); the file system's own
    failures as ReadError."""
    from . import CANNOT_READ, Error, _error
    try:
        http = sys.modules.get("fsspec.implementations.http")
        if http is not None and isinstance(fs, http.HTTPFileSystem):
            # fsspec's own HTTP read takes whatever a server sends, Range or not.
            from fsspec.asyn import sync
            return sync(fs.loop, _http_tail, fs, path, count, follow_other_hosts)
        tail = fs.cat_file(path, start=-count)
        if len(tail) > count:
            raise _read_refused(path, "the file system sent more than the %d bytes asked for"
                                % count)
        return tail
    except Error:
        raise
    except OSError as failure:
        os_kind = type(failure) if type(failure) in vars(builtins).values() else None
        raise _error(CANNOT_READ, "cannot read %s: %s" % (path, failure),
                     failure.errno if isinstance(failure.errno, int) else 0, path,
                     os_kind=os_kind) from failure
    except Exception as failure:
        raise _error(CANNOT_READ, "cannot read %s: %s" % (path, failure), 0, path) from failure


def check_remote(fs, path, first_read=FIRST_READ_BYTES, *, with_time=False,
                 follow_other_hosts=False):
    """The text signed into `path` on the fsspec file system `fs`, or None (with_time: as
    check).

    Reads only the file's last bytes, with at most two range reads whatever its size: its last
    `first_read` bytes (an int from 1 to MAX_TRAILER_BYTES, else InvalidArgumentError), and
    when the text is longer, the trailer's own length (at most MAX_TRAILER_BYTES). An answer
    longer than asked for (a server that ignores Range) is refused as soon as it shows, never
    read whole. Over HTTP a redirect is followed only to the same scheme, host and port, unless
    `follow_other_hosts`. What the file system raises (a missing object, a refused request)
    comes as ReadError, also the OSError subclass the file system gave."""
    from . import INVALID_ARGUMENT, MAX_TRAILER_BYTES, NeedMoreBytesError, _error, read_trailer
    if (isinstance(first_read, bool) or not isinstance(first_read, int)
            or not 1 <= first_read <= MAX_TRAILER_BYTES):
        raise _error(INVALID_ARGUMENT, "first_read is a number of bytes from 1 to %d, not %r"
                     % (MAX_TRAILER_BYTES, first_read))
    tail = _remote_tail(fs, path, first_read, follow_other_hosts)
    size = len(tail) if len(tail) < first_read else None
    try:
        return read_trailer(tail, size, with_time=with_time)
    except NeedMoreBytesError as more:
        tail = _remote_tail(fs, path, more.needed, follow_other_hosts)
        # A shorter answer is the whole file: too short for the trailer it seemed to end in.
        return read_trailer(tail, len(tail) if len(tail) < more.needed else None,
                            with_time=with_time)
