From: John Miller <john@example.com>
To: John Miller <john@example.com>
Subject: Dentist
Date: Mon, 03 Sep 2007 15:30:00 +0000
Message-ID: <dentist-20070903@example.com>
MIME-Version: 1.0
Content-Type: text/calendar; charset=us-ascii; method=PUBLISH

BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Example//Calendar//EN
BEGIN:VEVENT
UID:dentist-20070903@example.com
DTSTAMP:20070824T120000Z
DTSTART:20070903T153000Z
DTEND:20070903T161500Z
SUMMARY:Dentist
END:VEVENT
END:VCALENDAR
