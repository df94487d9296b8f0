From: John Miller <john@example.com>
To: John Miller <john@example.com>
Subject: Team meeting
Date: Mon, 27 Aug 2007 09:00:00 +0000
Message-ID: <team-20070827@example.com>
MIME-Version: 1.0
Content-Type: text/calendar; charset=us-ascii; method=PUBLISH

BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Example//Calendar//EN
BEGIN:VEVENT
UID:team-20070827@example.com
DTSTAMP:20070823T103000Z
DTSTART:20070827T090000Z
DTEND:20070827T100000Z
SUMMARY:Team meeting
LOCATION:Room 2
END:VEVENT
END:VCALENDAR
