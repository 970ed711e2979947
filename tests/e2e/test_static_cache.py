"""Static documents kept in memory are never stale: each change (in place, by rename, through the folder) shows
in the very next answer; HEAD and 304 answers stay right."""

import http.client, os, socket
from email.utils import formatdate

from harness import DOC_ROOT, SandboxTest, raw_request


class StaticCacheTest(SandboxTest):
    def test_next_request_sees_every_change(self):
        self.sb.start_server()
        folder = DOC_ROOT / "cached"
        folder.mkdir()
        doc = folder / "page.html"
        doc.write_text("start")
        (DOC_ROOT / "linked").symlink_to("cached")  # reached through a link: served, never kept
        with socket.create_connection(("127.0.0.1", 8080), timeout=10) as conn:
            def get(path, **headers):
                return raw_request(conn, "GET", path, headers=headers)
            for i in range(300):
                text = f"round {i} " + "x" * (i * 37 % 3000)
                if i % 3 == 0:  # in place
                    doc.write_text(text)
                elif i % 3 == 1:  # a new file renamed over it
                    tmp = folder / ".new"
                    tmp.write_text(text)
                    os.replace(tmp, doc)
                else:  # the folder replaced by another one
                    other = DOC_ROOT / f"other{i}"
                    other.mkdir()
                    (other / "page.html").write_text(text)
                    folder.rename(DOC_ROOT / f"old{i}")
                    other.rename(folder)
                for path in ("/cached/page.html", "/linked/page.html"):
                    r = get(path)
                    self.assertEqual((r.status, r.text), (200, text), (i, path))

            os.utime(doc, (1_600_000_000, 1_600_000_000))
            stamp = formatdate(1_600_000_000, usegmt=True)
            r = get("/cached/page.html")
            self.assertEqual((r.status, r.headers["last-modified"], r.headers["content-type"]),
                             (200, stamp, "text/html"))
            conn.sendall(b"HEAD /cached/page.html HTTP/1.1\r\nHost: device\r\n\r\n")
            head = http.client.HTTPResponse(conn, method="HEAD")
            head.begin()
            self.assertEqual((head.status, head.read(), head.getheader("content-length")), (200, b"", str(len(text))))
            for since, answer in ((stamp, (304, "")), (formatdate(1_599_999_999, usegmt=True), (200, text))):
                r = get("/cached/page.html", **{"If-Modified-Since": since})
                self.assertEqual((r.status, r.text), answer)
            doc.unlink()
            self.assertEqual(get("/cached/page.html").status, 404)
