"""Fetching URLs through fsspec: each URL's bytes, or why they could not be had, in
words that name the fault (`HTTP 500 Internal Server Error`, `not found (HTTP 404)`,
`the body ended after 10 of 2000 bytes`)."""

import asyncio


class SourceError(Exception):
    """A location that cannot be read as a file, a folder, an archive or a URL; as an
    entry of what `fetch` gives, why that entry's bytes could not be had."""


def filesystem(url):
    """(fsspec file system, path within it) of a URL."""
    try:
        import fsspec
    except ImportError:
        raise SourceError(f"reading {url} needs fsspec (pip install 'tavrel[remote]')") from None
    try:
        return fsspec.core.url_to_fs(url)
    except (ImportError, ValueError) as error:
        raise SourceError(f"cannot read {url}: {error}") from None


def base_name(url):
    """The last part of a URL's path (of its first link, for a chained URL), without the
    query: where a file named directly by its URL is written."""
    first = url.split("::", 1)[0].split("://", 1)[-1]
    return first.split("?", 1)[0].split("#", 1)[0].rstrip("/").rsplit("/", 1)[-1]


def reason_of(error):
    """Why a fetch or an archive read failed, in one line that names the fault."""
    http = _http_reason(error)
    if http is not None:
        return http
    if isinstance(error, FileNotFoundError):
        return "not found"
    if isinstance(error, (asyncio.TimeoutError, TimeoutError)):
        return "timed out"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    text = str(error).strip() or type(error).__name__
    return " ".join(text.split())


def _http_reason(error):
    try:
        import aiohttp
    except ImportError:
        return None
    if isinstance(error, aiohttp.TooManyRedirects):
        return f"too many redirects (a redirect loop?): gave up after {len(error.history)}"
    if isinstance(error, aiohttp.ClientResponseError):
        return f"HTTP {error.status} {error.message}".rstrip()
    if isinstance(error, aiohttp.ClientPayloadError):
        return f"the body was cut short: {error}"
    if isinstance(error, aiohttp.ClientError):
        return " ".join(str(error).split()) or type(error).__name__
    return None


def fetch_urls(urls):
    """The bytes of each URL, or a SourceError saying why they could not be had; the URLs
    of one file system together, concurrently where the protocol allows."""
    contents = [None] * len(urls)
    by_filesystem = {}
    for k, url in enumerate(urls):
        try:
            fs, path = filesystem(url)
        except SourceError as error:
            contents[k] = error
            continue
        by_filesystem.setdefault(fs, []).append((k, path))
    for fs, entries in by_filesystem.items():
        paths = [path for _, path in entries]
        for (k, _), content in zip(entries, _fetch_all(fs, paths)):
            contents[k] = content
    return contents


def _fetch_all(fs, paths):
    if _is_http(fs):
        return _fetch_http(fs, paths)
    try:
        fetched = fs.cat(paths, on_error="return")
    except Exception as error:  # the whole batch failed (a file system that cannot be opened)
        return [SourceError(reason_of(error))] * len(paths)
    if not isinstance(fetched, dict):
        fetched = {paths[0]: fetched}
    return [_content(fetched.get(path, SourceError("not fetched"))) for path in paths]


def _content(value):
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, SourceError):
        return value
    return SourceError(reason_of(value) if isinstance(value, BaseException) else "not fetched")


def _is_http(fs):
    try:
        from fsspec.implementations.http import HTTPFileSystem
    except ImportError:
        return False
    return isinstance(fs, HTTPFileSystem)


def _fetch_http(fs, urls):
    """Each URL's body in full through the file system's HTTP session, concurrently;
    a body that ends before its Content-Length says how much came."""
    import aiohttp
    from fsspec.asyn import sync

    async def one(url):
        try:
            session = await fs.set_session()
            async with session.get(fs.encode_url(url), **fs.kwargs) as response:
                if response.status == 404:
                    return SourceError("not found (HTTP 404)")
                if response.status >= 400:
                    return SourceError(f"HTTP {response.status} {response.reason or ''}".rstrip())
                body = bytearray()
                try:
                    async for chunk in response.content.iter_any():
                        body += chunk
                except aiohttp.ClientPayloadError:
                    expected = response.content_length
                    of = f" of {expected}" if expected is not None else ""
                    return SourceError(f"the body ended after {len(body)}{of} bytes")
                return bytes(body)
        except Exception as error:
            return SourceError(reason_of(error))

    async def every():
        return await asyncio.gather(*(one(url) for url in urls))

    return sync(fs.loop, every)
