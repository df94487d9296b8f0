From: John Miller <john@example.com>
To: John Miller <john@example.com>
Subject: Mary Chen
Date: Mon, 20 Aug 2007 08:53:20 +0000
Message-ID: <card-mary@example.com>
MIME-Version: 1.0
Content-Type: text/vcard; charset=us-ascii

BEGIN:VCARD
VERSION:3.0
FN:Mary Chen
N:Chen;Mary;;;
EMAIL;TYPE=INTERNET:mary@example.com
TEL;TYPE=WORK:+1 555 0101
END:VCARD
