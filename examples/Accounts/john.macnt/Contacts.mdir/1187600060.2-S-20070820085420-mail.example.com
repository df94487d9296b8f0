From: John Miller <john@example.com>
To: John Miller <john@example.com>
Subject: Bob Turner
Date: Mon, 20 Aug 2007 08:54:20 +0000
Message-ID: <card-bob@example.com>
MIME-Version: 1.0
Content-Type: text/vcard; charset=us-ascii

BEGIN:VCARD
VERSION:3.0
FN:Bob Turner
N:Turner;Bob;;;
EMAIL;TYPE=INTERNET:bob@example.org
TEL;TYPE=WORK:+1 555 0102
END:VCARD
