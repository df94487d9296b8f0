From: John Miller <john@example.com>
To: Bob Turner <bob@example.org>
Subject: Rack layout
Date: Fri, 24 Aug 2007 12:53:20 +0000
Message-ID: <draft-rack@example.com>
MIME-Version: 1.0
Content-Type: text/plain; charset=us-ascii

Bob,

here is my idea for the rack layout:
