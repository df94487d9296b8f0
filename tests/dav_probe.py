#!/usr/bin/python3
"""What a CalDAV/CardDAV server holds for one login, read the way a calendar
client reads it, with nothing of lodemig's: the principal's homes, their
collections (PROPFIND) and each collection's items with their data (REPORT).

  dav_probe.py dump URL LOGIN PASSWORD      prints what the login's homes hold
  dav_probe.py delete URL LOGIN PASSWORD HREF   removes one resource
  dav_probe.py export DIR                   parses the files of a -davExport

dump prints one record a line, fields split by tabs:
  COLLECTION  href  calendar|addressbook  displayname
  ITEM        href  etag  uid             (uid: the first UID of the item)
  LINE        text                        (the item's lines, unfolded)
  NAME        href  etag                  (a resource a PROPFIND Depth 1 lists)
Hrefs are printed decoded. export prints, for each .ics and .vcf file below
DIR (its path relative to DIR), what a parser finds in it:
  FILE        path
  UID         path  VEVENT|VTODO|VJOURNAL|VCARD  uid ("" without one)
  ZONE        path  tzid                  (a VTIMEZONE)
A file that does not parse ends it with exit status 1; exit status 3 when
python3-icalendar or python3-vobject is missing.
Every request has a time-out; any failure ends with exit status 1 and the
reason on standard error.
"""

import base64
import http.client
import os
import sys
import urllib.parse
import xml.etree.ElementTree as ET

DAV = "{DAV:}"
CAL = "{urn:ietf:params:xml:ns:caldav}"
CARD = "{urn:ietf:params:xml:ns:carddav}"
NAMESPACES = 'xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:caldav" ' \
             'xmlns:A="urn:ietf:params:xml:ns:carddav"'


class Server:
    def __init__(self, url, login, password):
        parts = urllib.parse.urlsplit(url)
        self.host = parts.hostname
        self.port = parts.port or 80
        self.base = parts.path or "/"
        token = base64.b64encode((login + ":" + password).encode()).decode()
        self.auth = "Basic " + token

    def request(self, method, path, body=None, depth=None):
        connection = http.client.HTTPConnection(self.host, self.port, timeout=10)
        headers = {"Authorization": self.auth}
        if body is not None:
            headers["Content-Type"] = "application/xml; charset=utf-8"
        if depth is not None:
            headers["Depth"] = depth
        connection.request(method, path, body=body, headers=headers)
        answer = connection.getresponse()
        data = answer.read()
        connection.close()
        return answer.status, data

    def multistatus(self, method, path, props, depth, root="D:propfind"):
        body = '<?xml version="1.0" encoding="utf-8"?><%s %s>%s</%s>' % (
            root, NAMESPACES, props, root)
        status, data = self.request(method, path, body, depth)
        if status != 207:
            fail("%s %s: %d %s" % (method, path, status, data[:200]))
        return ET.fromstring(data).findall(DAV + "response")


def fail(reason):
    sys.stderr.write(reason + "\n")
    sys.exit(1)


def found(response, name):
    for propstat in response.findall(DAV + "propstat"):
        status = propstat.findtext(DAV + "status") or ""
        if " 200 " in status:
            element = propstat.find(DAV + "prop/" + name)
            if element is not None:
                return element
    return None


def hrefs(response, name):
    element = found(response, name)
    if element is None:
        return []
    return [h.text for h in element.findall(DAV + "href")]


def unfolded(text):
    lines = []
    for line in text.replace("\r\n", "\n").split("\n"):
        if line[:1] in (" ", "\t") and lines:
            lines[-1] += line[1:]
        elif line:
            lines.append(line)
    return lines


def clean(text):
    return (text or "").replace("\t", " ").replace("\n", " ")


def decoded(href):
    return clean(urllib.parse.unquote(href or ""))


def dump(server):
    responses = server.multistatus("PROPFIND", server.base,
                                   "<D:prop><D:current-user-principal/></D:prop>", "0")
    principal = hrefs(responses[0], DAV + "current-user-principal")
    if not principal:
        fail("no current-user-principal at " + server.base)
    responses = server.multistatus(
        "PROPFIND", principal[0],
        "<D:prop><C:calendar-home-set/><A:addressbook-home-set/></D:prop>", "0")
    homes = []
    for name in (CAL + "calendar-home-set", CARD + "addressbook-home-set"):
        for home in hrefs(responses[0], name):
            if home not in homes:
                homes.append(home)
    for home in homes:
        listing = server.multistatus(
            "PROPFIND", home, "<D:prop><D:resourcetype/><D:displayname/></D:prop>", "1")
        for response in listing:
            kinds = found(response, DAV + "resourcetype")
            if kinds is None:
                continue
            href = response.findtext(DAV + "href")
            named = found(response, DAV + "displayname")
            display = clean(named.text if named is not None else "")
            if kinds.find(CAL + "calendar") is not None:
                collection(server, href, "calendar", display)
            elif kinds.find(CARD + "addressbook") is not None:
                collection(server, href, "addressbook", display)


def collection(server, href, kind, display):
    print("COLLECTION\t%s\t%s\t%s" % (decoded(href), kind, display))
    if kind == "calendar":
        props = ('<D:prop><D:getetag/><C:calendar-data/></D:prop>'
                 '<C:filter><C:comp-filter name="VCALENDAR"/></C:filter>')
        responses = server.multistatus("REPORT", href, props, "1", "C:calendar-query")
        data = CAL + "calendar-data"
    else:
        props = '<D:prop><D:getetag/><A:address-data/></D:prop>'
        responses = server.multistatus("REPORT", href, props, "1", "A:addressbook-query")
        data = CARD + "address-data"
    for response in responses:
        text = found(response, data)
        if text is None:
            continue
        lines = unfolded(text.text or "")
        uids = [line[4:] for line in lines if line.upper().startswith("UID:")]
        print("ITEM\t%s\t%s\t%s" % (decoded(response.findtext(DAV + "href")),
                                    clean(found(response, DAV + "getetag").text),
                                    uids[0] if uids else ""))
        for line in lines:
            print("LINE\t" + clean(line))
    for response in server.multistatus("PROPFIND", href, "<D:prop><D:getetag/></D:prop>", "1"):
        etag = found(response, DAV + "getetag")
        if etag is not None and response.findtext(DAV + "href") != href:
            print("NAME\t%s\t%s" % (decoded(response.findtext(DAV + "href")), clean(etag.text)))


def export(directory):
    try:
        import icalendar
        import vobject
    except ImportError as error:
        sys.stderr.write("%s\n" % error)
        sys.exit(3)
    for root, _, files in sorted(os.walk(directory)):
        for name in sorted(files):
            path = os.path.join(root, name)
            relative = os.path.relpath(path, directory)
            print("FILE\t" + relative)
            with open(path, "rb") as data:
                text = data.read()
            try:
                if name.endswith(".ics"):
                    calendar = icalendar.Calendar.from_ical(text)
                    for component in calendar.walk():
                        if component.name == "VTIMEZONE":
                            print("ZONE\t%s\t%s" % (relative, component.get("TZID")))
                        elif component.name in ("VEVENT", "VTODO", "VJOURNAL"):
                            print("UID\t%s\t%s\t%s" % (relative, component.name,
                                                      component.get("UID", "")))
                elif name.endswith(".vcf"):
                    for card in vobject.readComponents(text.decode("utf-8")):
                        uid = card.uid.value if hasattr(card, "uid") else ""
                        print("UID\t%s\tVCARD\t%s" % (relative, uid))
            except Exception as error:  # the parsers raise many kinds
                fail("%s: %s" % (relative, error))


def main():
    sys.stdout.reconfigure(encoding="utf-8")
    if len(sys.argv) == 3 and sys.argv[1] == "export":
        export(sys.argv[2])
        return
    if len(sys.argv) < 5 or sys.argv[1] not in ("dump", "delete"):
        fail("usage: dav_probe.py dump|delete URL LOGIN PASSWORD [HREF] | export DIR")
    server = Server(sys.argv[2], sys.argv[3], sys.argv[4])
    try:
        if sys.argv[1] == "dump":
            dump(server)
        else:
            status, data = server.request("DELETE", urllib.parse.quote(sys.argv[5]))
            if status not in (200, 204):
                fail("DELETE %s: %d %s" % (sys.argv[5], status, data[:200]))
    except (OSError, http.client.HTTPException, ET.ParseError) as error:
        fail("%s: %s" % (sys.argv[2], error))


if __name__ == "__main__":
    main()
