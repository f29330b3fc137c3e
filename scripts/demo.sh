#!/usr/bin/env bash
# The main job, end to end: installs what is missing, builds, lays out a scratch
# installation in ./demo (configuration with a protocol-version-2 and a version-3 local
# identity, a trading-partner file with a basic, an integrity and a signed partner of
# the first and a basic and a signed partner of the second, generated keys and
# certificates, the working directories), starts one ZVP stand-in per identity, runs
# clientd once over sample interchanges in its input directory, shows what each
# stand-in decoded and verified, the renamed documents and the transaction log, and
# stops every process it started.
#
# Safe to run again: it stops processes left from an earlier run and rebuilds ./demo
# (keeping its keys).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target clientd izvpstub >/dev/null
clientd="$root/build/client/clientd"
stub="$root/build/tools/izvpstub"

demo="$root/demo"
mkdir -p "$demo"
cd "$demo"

alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }
pid_of() { [ -s "$1.pid" ] && cat "$1.pid" || true; }
stop() {  # name: SIGTERM, then wait up to 10 s
  local pid
  pid=$(pid_of "$1")
  if alive "$pid" && grep -q -e clientd -e izvp "/proc/$pid/cmdline" 2>/dev/null; then
    kill -TERM "$pid"
    for _ in $(seq 100); do alive "$pid" || break; sleep 0.1; done
    if alive "$pid"; then echo "$1 (pid $pid) did not stop"; return 1; fi
    echo "$1 (pid $pid) stopped"
  fi
  rm -f "$1.pid"
}
started=()
cleanup() { for n in "${started[@]}"; do stop "$n" >/dev/null || true; done; }
trap cleanup EXIT

# Processes of an earlier run.
for name in clientd izvp_east izvp_west; do stop "$name" >/dev/null || true; done

rm -rf in_dir envelopes_* ./*_trans.log zvp_report_*.txt zolvar.alert ./*.out ./*.err
mkdir -p to_remote_failed_messages to_ssl_remote_failed_messages \
         from_remote_failed_messages from_ssl_remote_failed_messages \
         invalid_messages pending_receipts in_dir failover keys \
         envelopes_izvp_east envelopes_izvp_west

# The local identities served by the two ZVP processes (each key signs, each
# certificate travels with the transactions of its identity), and the CA file every
# ZVP process checks for.
for zvp in east west; do
  if [ ! -s "keys/zvp_$zvp.key" ] || [ ! -s "keys/zvp_$zvp.pem" ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "keys/zvp_$zvp.key" -out "keys/zvp_$zvp.pem" \
      -days 365 -subj "/C=US/O=Demo Local/CN=zvp-$zvp.demo.invalid" >/dev/null 2>&1
  fi
done
cp keys/zvp_east.pem ca_cert.pem

cat > zolvar.conf <<'CONF'
# Demo installation: the client and two local identities, each served by its ZVP
# process (here the stand-ins): izvp_east speaks protocol version 2 (TCIF-98-006
# Issue 2), izvp_west version 3 (Issue 3).
process_names = clientd, izvp_east, izvp_west
TPconfig = tpartner.conf
failover_path = ./failover
interface = dir
indir = in_dir
dirpolldelay = 1

[clientd]
process_type = CLIENT_PROCESS

[izvp_east]
process_type = ZVP_PROCESS
zvversion = 2
key = keys/zvp_east.key
cert = keys/zvp_east.pem
transport_listen_port = 127.0.0.1:18003
pacing_delay = 0

[izvp_west]
process_type = ZVP_PROCESS
zvversion = 3
key = keys/zvp_west.key
cert = keys/zvp_west.pem
transport_listen_port = 127.0.0.1:18004
pacing_delay = 0
CONF

cat > tpartner.conf <<'CONF'
# Demo trading partners: one per envelope of version 2, served by the local identity
# izvp_east, and one per envelope of version 3 (which has no integrity envelope),
# served by izvp_west. Each endpoint section is named by the partner's ISA id, its
# remote_partner_id.
trading_partners = rc_demo
local_certificates = lc_east, lc_west

[lc_east]
zvp_name = izvp_east
endpoints = BASICPTNR, INTEGPTNR, SIGNPTNR

[lc_west]
zvp_name = izvp_west
endpoints = BASIC3PTNR, SIGN3PTNR

[BASICPTNR]
local_partner_id = DEMOLOCAL
remote_partner_id = BASICPTNR
ip_address = 127.0.0.1
standard_ip_port = 16999
hipri_ip_port = 16998
server_status = 1
zv_message_to_tp = BASIC_EDI
zv_receipt_to_tp = BASIC_RECEIPT

[INTEGPTNR]
local_partner_id = DEMOLOCAL
remote_partner_id = INTEGPTNR
ip_address = 127.0.0.1
standard_ip_port = 16989
hipri_ip_port = 16988
server_status = 1
zv_message_to_tp = INTEGRITY_EDI
zv_receipt_to_tp = INTEGRITY_RECEIPT

[SIGNPTNR]
local_partner_id = DEMOLOCAL
remote_partner_id = SIGNPTNR
ip_address = 127.0.0.1
standard_ip_port = 16979
hipri_ip_port = 16978
server_status = 1
zv_message_to_tp = SIGNED_EDI
zv_receipt_to_tp = SIGNED_RECEIPT

[BASIC3PTNR]
local_partner_id = DEMOLOCAL
remote_partner_id = BASIC3PTNR
ip_address = 127.0.0.1
standard_ip_port = 16969
hipri_ip_port = 16968
server_status = 1
zv_message_to_tp = BASIC_EDI
zv_receipt_to_tp = BASIC_RECEIPT

[SIGN3PTNR]
local_partner_id = DEMOLOCAL
remote_partner_id = SIGN3PTNR
ip_address = 127.0.0.1
standard_ip_port = 16959
hipri_ip_port = 16958
server_status = 1
zv_message_to_tp = SIGNED_EDI
zv_receipt_to_tp = SIGNED_RECEIPT

[rc_demo]
certificate_common_name = partners.demo.invalid
endpoints = BASICPTNR, INTEGPTNR, SIGNPTNR, BASIC3PTNR, SIGN3PTNR
CONF

# Sample interchanges: one per partner (the integrity one at high priority), and one for
# a partner nobody configured, which is refused and kept as ".notsent".
sample() {  # file receiver
  printf 'ISA*00*          *00*          *ZZ*%-15s*ZZ*%-15s*240101*1200*U*00401*000000001*0*P*>\n' \
    DEMOLOCAL "$2" > "in_dir/$1"
  printf 'GS*PO*DEMOLOCAL*%s*20240101*1200*1*X*004010\nST*850*0001\n' "$2" >> "in_dir/$1"
  for i in 1 2 3 4 5; do printf 'PO1*%d*10*EA*9.99**VP*ITEM%d\n' "$i" "$i" >> "in_dir/$1"; done
  printf 'SE*7*0001\nGE*1*1\nIEA*1*000000001\n' >> "in_dir/$1"
}
sample order-basic.edi BASICPTNR
sample order-integrity.hpri INTEGPTNR
sample order-signed.edi SIGNPTNR
sample order-basic-v3.edi BASIC3PTNR
sample order-signed-v3.edi SIGN3PTNR
sample order-unknown.edi NOBODY
echo "== input directory before"
ls -1 in_dir | sed 's/^/    /'

# Each started under its section's name, so that the first letter gives it the ZVP
# role and the section gives it its transport address.
for zvp in izvp_east izvp_west; do
  echo "== starting the ZVP stand-in ($zvp)"
  (exec -a "$zvp" "$stub" -F "zvp_report_$zvp.txt" -D "envelopes_$zvp" >"$zvp.out" 2>"$zvp.err" </dev/null)
  for _ in $(seq 100); do grep -q "ZVP stand-in serving" "$zvp.out" 2>/dev/null && break; sleep 0.1; done
  grep -q "ZVP stand-in serving" "$zvp.out" || { echo "stand-in did not start:"; cat "$zvp.err"; exit 1; }
  # A port that another process holds ends the stand-in right after it starts; the
  # documents must not go to whoever holds it.
  sleep 0.3
  alive "$(pid_of "$zvp")" || { echo "stand-in $zvp could not serve its address:"; tail -3 "$zvp.err"; exit 1; }
  started+=("$zvp")
  echo "   serving as pid $(pid_of "$zvp"): $(grep -o 'serving \[.*\]' "$zvp.out")"
done

# One pass over the directory (-O), then clientd ends by itself with status 0.
echo "== running clientd once over in_dir"
(exec -a clientd "$clientd" -O >clientd.out 2>clientd.err </dev/null)
cpid=""
for _ in $(seq 100); do cpid=$(pid_of clientd); [ -n "$cpid" ] && break; sleep 0.1; done
for _ in $(seq 150); do alive "$cpid" || break; sleep 0.1; done
if alive "$cpid"; then echo "clientd is still running"; exit 1; fi
echo "   clientd (pid $cpid) finished: $(grep -o 'client process terminating' clientd.err || echo 'see clientd.err')"

echo "== input directory after (.sent handed over, .notsent refused)"
ls -1 in_dir | sed 's/^/    /'

# Each stand-in reports once it has checked a transaction: wait for the five that
# clientd handed over.
for _ in $(seq 50); do
  [ "$(cat zvp_report_izvp_*.txt 2>/dev/null | wc -l)" -ge 5 ] && break; sleep 0.1
done
for zvp in izvp_east izvp_west; do
  echo "== $zvp's report: seq|version|kind|msg_type|partner|priority|dest|in|envelope|digest|verdict|detail|saved"
  sed 's/^/    /' "zvp_report_$zvp.txt"
done

echo "== every received envelope through openssl asn1parse"
for f in envelopes_izvp_*/*.der; do
  if openssl asn1parse -inform DER -in "$f" >/dev/null; then echo "    $f: parses"; else echo "    $f: BROKEN"; exit 1; fi
done
for f in "$(ls envelopes_izvp_east/*integrity-edi.der | head -1)" \
         "$(ls envelopes_izvp_west/*basic-edi.der | head -1)"; do
  echo "---- $f"
  openssl asn1parse -inform DER -in "$f" | grep -a '^ *[0-9]*:d=' | cut -c1-110 | sed 's/^/    /'
done

echo "== client transaction log (one line per refused or failed document)"
if [ -s client_trans.log ]; then sed 's/  */ /g; s/^/    /' client_trans.log; else echo "    (empty)"; fi

echo "== stopping the stand-ins"
stop izvp_east
stop izvp_west
started=()
for zvp in izvp_east izvp_west; do
  report="zvp_report_$zvp.txt"
  verified=$(grep -c '|verified|' "$report" || true)
  versions=$(cut -d'|' -f2 "$report" | sort -u | tr '\n' ' ')
  echo "== $zvp: $(wc -l < "$report") envelopes of version ${versions% } received, $verified verified by digest or signature"
done
