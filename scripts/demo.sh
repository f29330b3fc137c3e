#!/usr/bin/env bash
# The main job, until the client can send: installs what is missing, builds, lays out a
# scratch installation in ./demo (configuration and trading-partner files, keys and
# certificates, the working directories), starts clientd and failoverd there, shows
# what they print, stops them with SIGTERM and shows that they exited.
#
# Safe to run again: it stops daemons left from an earlier run and rebuilds ./demo
# (keeping its keys).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
clientd="$root/build/client/clientd"
failoverd="$root/build/failover/failoverd"

demo="$root/demo"
mkdir -p "$demo"
cd "$demo"

alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }
pid_of() { [ -s "$1.pid" ] && cat "$1.pid" || true; }

# Daemons of an earlier run.
for name in clientd failoverd; do
  pid=$(pid_of "$name")
  if alive "$pid" && grep -q "$name" "/proc/$pid/cmdline" 2>/dev/null; then
    kill -TERM "$pid"
    for _ in $(seq 50); do alive "$pid" || break; sleep 0.1; done
  fi
  rm -f "$name.pid"
done

# Working directories every role checks at start, the client's input directory and
# the failover directory.
mkdir -p to_remote_failed_messages to_ssl_remote_failed_messages \
         from_remote_failed_messages from_ssl_remote_failed_messages \
         invalid_messages pending_receipts in_dir failover keys

# Own identity of the ZVP process that serves the partner, the partner's certificate
# and a CA file.
make_cert() {  # key cert subject
  [ -s "$1" ] && [ -s "$2" ] && return 0
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1" -out "$2" -days 365 \
    -subj "$3" >/dev/null 2>&1
}
make_cert keys/zvp_east.key keys/zvp_east.pem "/C=US/O=Demo Local/CN=zvp-east.demo.invalid"
make_cert keys/partner1.key keys/partner1.pem "/C=US/O=Demo Partner/CN=partner1.demo.invalid"
cp keys/partner1.pem ca_cert.pem

cat > zolvar.conf <<'CONF'
# Demo installation: one client, one receipt client, the failover process and one
# local identity (ZVP process).
process_names = clientd, rclientd, failoverd, zvp_east
TPconfig = tpartner.conf
failover_path = ./failover
interface = dir
indir = in_dir
dirpolldelay = 5

[clientd]
process_type = CLIENT_PROCESS

[rclientd]
process_type = RECEIPT_PROCESS
transport_listen_port = 127.0.0.1:18000

[failoverd]
process_type = FAILOVER_PROCESS

[zvp_east]
process_type = ZVP_PROCESS
zvversion = 3
key = keys/zvp_east.key
cert = keys/zvp_east.pem
transport_listen_port = 127.0.0.1:18003
pacing_delay = 100
CONF

cat > tpartner.conf <<'CONF'
# Demo trading partners: one endpoint served by the local identity zvp_east.
trading_partners = rc_partner1
local_certificates = lc_east

[lc_east]
zvp_name = zvp_east
endpoints = PARTNER1

[PARTNER1]
local_partner_id = DEMOLOCAL
remote_partner_id = PARTNER1
ip_address = 127.0.0.1
standard_ip_port = 16999
hipri_ip_port = 16998
session_timeout = 30
server_status = 1
zv_message_to_tp = INTEGRITY_EDI
zv_message_from_tp = INTEGRITY_EDI
zv_receipt_from_tp = INTEGRITY_RECEIPT
zv_receipt_to_tp = INTEGRITY_RECEIPT

[rc_partner1]
certificate_common_name = partner1.demo.invalid
max_inbound_connections = 8
endpoints = PARTNER1
CONF

show() {  # title file
  echo "---- $1"
  sed 's/^/    /' "$2"
}

echo "== starting clientd and failoverd in $demo"
for name in clientd failoverd; do
  bin=$clientd; [ "$name" = failoverd ] && bin=$failoverd
  # The program forks its daemon and leaves with status 0; the daemon keeps the
  # standard streams, so its banner and log lines land in these files (-d 1 adds the
  # debug lines: build banner, default sockets).
  set +e
  "$bin" -d 1 >"$name.out" 2>"$name.err" </dev/null
  rc=$?
  set -e
  echo "$name: start command exited with $rc"
  for _ in $(seq 100); do [ -s "$name.pid" ] && break; sleep 0.1; done
  if [ ! -s "$name.pid" ]; then
    echo "$name did not start:"; cat "$name.err"; exit 1
  fi
  echo "$name: daemon running as pid $(cat "$name.pid")"
done
sleep 1

for name in clientd failoverd; do
  show "$name standard output (banner)" "$name.out"
  show "$name standard error (log lines)" "$name.err"
done

echo "== stopping them with SIGTERM"
status=0
for name in clientd failoverd; do
  pid=$(pid_of "$name")
  kill -TERM "$pid"
  for _ in $(seq 100); do alive "$pid" || break; sleep 0.1; done
  if alive "$pid"; then
    echo "$name (pid $pid) is still running"; status=1
  else
    echo "$name (pid $pid) has exited; its last line: $(tail -n 1 "$name.err")"
  fi
done
exit $status
