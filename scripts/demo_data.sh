#!/usr/bin/env bash
# Creates the demo data folder DIR/TORV/ with commented example list files.
# Existing files are left as they are.
set -euo pipefail
root=${1:?usage: demo_data.sh DIR}
d="$root/TORV"
mkdir -p "$d/pipe" "$d/cache" "$d/httpcache" "$d/ftpcache"
put() {  # put NAME: writes standard input to the file unless it exists
  [[ -e "$d/$1" ]] || cat > "$d/$1"
}
put http-con.ini <<'X'
' Connection permission list: address pattern [pass|reject]; first match decides.
' Lines starting with a space, " or ' are comments; a list of comments only admits everybody.
' 127.0.0.1
' 192.168.0.0/16
' 10.0.0.5 reject
' ::1
X
put http-auth.ini <<'X'
' Proxy users, one "user:password" a line (used with -A).
' alice:secret
X
put black.db <<'X'
' URL patterns to refuse; "*" stands for any run of characters, case is ignored.
' http://ads.example.com/*
X
put white.db <<'X'
' URL patterns let through without inspection.
' https://*.example.org:443/
X
put http.ini <<'X'
' Connect table: host=MyAddr+server port[*|+|-]  (see the README)
' TLS listeners: +address:port<TAB>certificate<TAB>key
X
put no-cache.db <<'X'
' URL patterns never stored in the cache.
' http://*/cgi-bin/*
X
put ncsalog-mask.db <<'X'
' Listener address:port patterns kept out of the access log.
' 127.0.0.1:8081
X
put http-conwl.db <<'X'
' Client addresses exempt from the DNS block-list check.
' 127.0.0.1
X
put http-zip.db <<'X'
' Listener address:port patterns whose mail attachments are compressed.
' 127.0.0.1:25
X
put socks-ptl.ini <<'X'
' SOCKS protocol rules: port,class[,pass] or host:port,class[,pass]
' 8080,0
X
put cwfs-words.db <<'X'
' Content filter words (ruvocwfs): one word or phrase a line, case is ignored.
' A response whose header or decoded body contains one is refused.
ruvo-demo-forbidden-word
X
echo "demo data folder: $d"
